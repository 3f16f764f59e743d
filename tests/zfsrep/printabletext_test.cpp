// Remote and tool texts as stored: every control character and escape
// sequence replaced by U+FFFD, everything else kept.
#include "printabletext.h"

#include <gtest/gtest.h>

namespace {

const QString R = QString(QChar(0xFFFD));

struct Case {
    const char *name;
    QString input;
    QString expected;
};

class Replaced : public ::testing::TestWithParam<Case> {};

TEST_P(Replaced, LeavesNothingThatDrivesATerminal)
{
    const Case &c = GetParam();
    const QString out = PrintableText::replaced(c.input);
    EXPECT_EQ(out.toStdString(), c.expected.toStdString());
    EXPECT_TRUE(PrintableText::isPrintable(out));
    EXPECT_EQ(PrintableText::isPrintable(c.input), c.input == c.expected);
}

std::vector<Case> cases()
{
    return {
        {"PlainTextUnchanged", "cannot open 'nopool/data': dataset does not exist",
         "cannot open 'nopool/data': dataset does not exist"},
        {"TabAndNewlineKept", "line one\n\tline two\n", "line one\n\tline two\n"},
        {"ChineseKept", QString::fromUtf8("需要恢复的pool不存在: tank"), QString::fromUtf8("需要恢复的pool不存在: tank")},
        {"EmptyText", "", ""},
        {"TitleChangeWithBell", "a\x1b]0;owned title\x07" "b", "a" + R + "b"},
        {"TitleChangeWithStringTerminator", "a\x1b]2;owned\x1b\\b", "a" + R + "b"},
        {"ClearScreenAndHome", "\x1b[2J\x1b[Hfake prompt", R + R + "fake prompt"},
        {"Colours", "\x1b[1;31mred\x1b[0m text", R + "red" + R + " text"},
        {"Osc52ClipboardWrite", "x\x1b]52;c;cm0gLXJmIH4K\x07y", "x" + R + "y"},
        {"UnterminatedOscEndsAtTheNewline", "a\x1b]0;title\nnext line", "a" + R + "\nnext line"},
        {"ResetTerminal", "\x1b" "cafter", R + "after"},
        {"CharsetSelect", "\x1b(Bafter", R + "after"},
        {"LoneEscapeAtTheEnd", "end\x1b", "end" + R},
        {"CarriageReturnOverwrite", "safe\rEVIL", "safe" + R + "EVIL"},
        {"BackspaceAndBell", "ab\b\x07", "ab" + R + R},
        {"Nul", QString::fromUtf8("a\0b", 3), "a" + R + "b"},
        {"Delete", "a\x7f" "b", "a" + R + "b"},
        {"C1Csi", QString("a") + QChar(0x9B) + "2Jb", "a" + R + "b"},
        {"C1Osc", QString("a") + QChar(0x9D) + "0;t" + QChar(0x9C) + "b", "a" + R + "b"},
        {"C1Next", QString("a") + QChar(0x85) + "b", "a" + R + "b"},
        {"NonBreakingSpaceIsNotC1", QString("a") + QChar(0xA0) + "b", QString("a") + QChar(0xA0) + "b"},
    };
}

std::string caseName(const ::testing::TestParamInfo<Case> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(PrintableText, Replaced, ::testing::ValuesIn(cases()), caseName);

} // namespace
