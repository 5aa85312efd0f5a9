#include "engine/bestand/Anzeigetext.h"

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

TEST(Anzeigetext, EscapesWhatCouldForgeALineOrCommandATerminalAndNothingElse) {
    const struct {
        std::string_view roh;
        std::string_view angezeigt;
    } faelle[] = {
        {"C:\\home\\anna\\Brief.txt", "C:\\home\\anna\\Brief.txt"}, // backslashes of the program form stay
        {"Grüße – 東京 😀", "Grüße – 東京 😀"},                       // valid UTF-8 stays
        {"a\nDatei kopieren: x", "a\\x0aDatei kopieren: x"},        // a newline cannot forge a line
        {"a\rb\tc", "a\\x0db\\x09c"},
        {"\x1b]0;Titel\x07\x1b[2J", "\\x1b]0;Titel\\x07\\x1b[2J"}, // title and clear-screen sequences
        {"a\x7f", "a\\x7f"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J"},                    // the C1 control CSI in UTF-8
        {"\xc2\xa0", "\xc2\xa0"},            // no-break space is no control
        {"alt\xe4.txt", "alt\\xe4.txt"},     // Latin-1 byte, not UTF-8
        {"\xc0\xaf", "\\xc0\\xaf"},          // overlong form of "/"
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // a surrogate
        {"\xe2\x82", "\\xe2\\x82"},          // cut short at the end
        {std::string_view("a\0b", 3), "a\\x00b"},
    };
    for (const auto& f : faelle)
        EXPECT_EQ(Anzeigetext(f.roh), f.angezeigt) << f.roh;
}

} // namespace
} // namespace tresor::test
