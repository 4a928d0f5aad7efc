// Tests of the tool's pure logic, linked with its units directly: the
// console filter and the name policy, against the Unicode Character
// Database where Debian's unicode-data has it.
#include "../src/console_filter.h"
#include "../src/name_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string ucd = "/usr/share/unicode/";

// Code points by a property of a UCD file: for each line "X..Y ; VALUE"
// whose VALUE is one of values, X to Y are set. Empty when the file is not
// there.
std::vector<bool> code_points(const std::string &file, const std::vector<std::string> &values)
{
    std::vector<bool> set;
    std::ifstream in(ucd + file);
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        const std::size_t semicolon = line.find(';');
        if (semicolon == std::string::npos)
            continue;
        std::istringstream value(line.substr(semicolon + 1));
        std::string v;
        value >> v;
        bool wanted = false;
        for (const std::string &w : values)
            wanted = wanted || v == w;
        if (!wanted)
            continue;
        const std::size_t dots = line.find("..");
        const unsigned long first = std::stoul(line.substr(0, dots), nullptr, 16);
        const unsigned long last = dots < semicolon ? std::stoul(line.substr(dots + 2), nullptr, 16) : first;
        set.resize(0x110000);
        for (unsigned long c = first; c <= last; ++c)
            set[c] = true;
    }
    return set;
}

std::string utf8(char32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | c >> 6);
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | c >> 12);
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | c >> 18);
        s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

TEST(ConsoleFilter, ShowsExactlyWhatTheCharacterDatabaseCallsText)
{
    const std::vector<bool> ignorable = code_points("DerivedCoreProperties.txt", {"Default_Ignorable_Code_Point"});
    const std::vector<bool> no_text =
        code_points("extracted/DerivedGeneralCategory.txt", {"Cc", "Cf", "Co", "Cs", "Zl", "Zp"});
    const std::vector<bool> nonchar = code_points("PropList.txt", {"Noncharacter_Code_Point"});
    if (ignorable.empty() || no_text.empty() || nonchar.empty())
        GTEST_SKIP() << "no Unicode Character Database in " << ucd << " (Debian: unicode-data)";
    std::size_t wrong = 0;
    for (char32_t c = 0xA0; c < 0x110000; ++c) {
        const bool text = !ignorable[c] && !no_text[c] && !nonchar[c];
        if (shows_as_text(c) != text && ++wrong <= 5)
            ADD_FAILURE() << std::hex << "U+" << static_cast<std::uint32_t>(c) << (text ? " is text" : " is not text");
        // Surrogates have no UTF-8: their three bytes are malformed.
        const std::string encoded = utf8(c);
        if (c < 0xD800 || c > 0xDFFF) {
            EXPECT_EQ(shown_text(encoded.c_str()), text ? encoded : std::string(encoded.size(), '?'))
                << std::hex << static_cast<std::uint32_t>(c);
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_FALSE(shows_as_text(0x9F));
    EXPECT_FALSE(shows_as_text(0x110000));
    // ASCII controls and DEL, C1 controls in UTF-8 (C2 9B), an overlong '/',
    // a cut-short character and a stray continuation byte, one '?' a byte.
    EXPECT_EQ(shown_text("a\x1b[0m\x7f\xc2\x9b\xc0\xaf\xe2\x82|\x80z"), "a?[0m???????|?z");
}

TEST(NamePolicy, FoldsCaseAsTheCharacterDatabaseDoes)
{
    std::ifstream in(ucd + "CaseFolding.txt");
    if (!in)
        GTEST_SKIP() << "no CaseFolding.txt in " << ucd << " (Debian: unicode-data)";
    std::vector<char32_t> fold(0x110000);
    for (char32_t c = 0; c < 0x110000; ++c)
        fold[c] = c;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string code, status, mapping;
        if (std::getline(fields, code, ';') && std::getline(fields, status, ';') && std::getline(fields, mapping, ';') &&
            (status == " C" || status == " S"))
            fold[std::stoul(code, nullptr, 16)] = static_cast<char32_t>(std::stoul(mapping, nullptr, 16));
    }
    std::size_t wrong = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const bool right = fold_code_point(c) == fold[c] && (c == 0 || folded_name(utf8(c).c_str()) == utf8(fold[c]));
        if (!right && ++wrong <= 5)
            ADD_FAILURE() << std::hex << "U+" << static_cast<std::uint32_t>(c);
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(NamePolicy, NamesAndHowAnExistingOneWasReached)
{
    // Bytes that are no UTF-8 (Latin-1 É, a lone lead byte, an overlong
    // form, a surrogate) stay as they are, the letters around them fold.
    EXPECT_EQ(folded_name("AB\xc9\xc3Z\xc0\x81\xed\xa0\x80.WAV"), "ab\xc9\xc3z\xc0\x81\xed\xa0\x80.wav");
    EXPECT_EQ(folded_name("\xf8\x90\x80\x80\xf5\x80\x80\x80"), "\xf8\x90\x80\x80\xf5\x80\x80\x80");  // no lead bytes
    EXPECT_EQ(folded_name("\xc3\x89T\xc3\x89.WAV"), folded_name("\xc3\xa9t\xc3\xa9.wav"));
    EXPECT_NE(folded_name("\xc3\x89T\xc3\x89.WAV"), folded_name("e\xcc\x81t\xc3\xa9.wav"));  // not normalised
    EXPECT_EQ(how_reached("DRUM.WAV", "DRUM.WAV"), reached_itself);
    EXPECT_EQ(how_reached("DRUM.WAV", nullptr), reached_itself);  // not known: nothing refused
    EXPECT_EQ(how_reached("DRUM.WAV", "drum.wav"), reached_case_variant);
    EXPECT_EQ(how_reached("MYRECO~1.WAV", "My Recording.wav"), reached_other);
    EXPECT_EQ(how_reached("MYRECO~1.WAV", ""), reached_other);
    EXPECT_TRUE(leaves_folder("a/b") && leaves_folder("..\\x") && !leaves_folder("..") && !leaves_folder("a:b"));
    // Windows devices, whatever follows the first dot, in any case, with
    // blanks before it; superscript digits in UTF-8 and in Windows-1252.
    for (const char *device : {"CON.WAV", "nul", "PRN  .x", "conin$.WAV", "COM0.WAV", "lpt9", "COM\xc2\xb9.WAV",
                               "LPT\xc2\xb2.WAV", "LPT\xb3.WAV"})
        EXPECT_TRUE(names_windows_device(device)) << device;
    for (const char *name : {"CONX.WAV", "COM10.WAV", "NULL", " CON.WAV", "LPT\xc2\xb4.WAV", "COM.WAV", "CONOUT$X"})
        EXPECT_FALSE(names_windows_device(name)) << name;
}

}  // namespace
