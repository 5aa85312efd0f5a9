#include "engine/Sicherung.h"
