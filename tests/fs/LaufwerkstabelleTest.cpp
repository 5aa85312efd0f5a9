#include "fs/Laufwerkstabelle.h"

#include <gtest/gtest.h>
