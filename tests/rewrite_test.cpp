// The rewrite procedure through real files on a temporary drive C.
#include "batch/batch_edit.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

using testutil::Escaped;
using testutil::ReadBytes;
using testutil::WriteBytes;

namespace {

const std::string kLong254(254, 'x');
const std::string kLong255(255, 'x');
const std::string kLong300(300, 'x');

// Drive C in a temporary directory, with a rewrite that drops every piece
// containing "DROP" and appends "END".
class RewriteTest : public ::testing::Test {
  protected:
    testutil::TempDir drive;
    testutil::ScopedEnv env{"DOSPREP_DRIVE_C", drive.Path()};

    std::optional<std::string> Rewrite(const std::optional<std::string> &before,
                                       std::string_view needle = "DROP",
                                       std::string_view appended = "END\n") {
        if (before)
            WriteBytes(drive / "test.bat", *before);
        const std::string_view needles[] = {needle};
        const std::string_view lines[] = {appended};
        RewriteBatchFile("C:\\test.bat", "C:\\test.tmp", needles, lines);
        EXPECT_FALSE(testutil::Exists(drive / "test.tmp")) << "temporary file left behind";
        if (std::filesystem::is_directory(drive / "test.bat"))
            return "<directory>";
        return ReadBytes(drive / "test.bat");
    }

    // A rewrite like the real edits: the appended line is one the test drops.
    std::string Settle(const std::optional<std::string> &before) {
        return Rewrite(before, "X\n", "X\n").value_or("<missing>");
    }
};

struct RewriteCase {
    const char *name;
    std::optional<std::string> before; // nullopt: no file
    std::string after;
};

const RewriteCase kRewriteCases[] = {
    {"missing file is created", std::nullopt, "END\r\n"},
    {"empty file gets no separator", "", "END\r\n"},
    {"crlf lines kept", "a\r\nb\r\n", "a\r\nb\r\nEND\r\n"},
    {"lone lf becomes crlf", "a\nb\n", "a\r\nb\r\nEND\r\n"},
    {"matching lines dropped", "a\r\nx DROP y\r\nb\r\nDROP\r\n", "a\r\nb\r\nEND\r\n"},
    {"case matters", "drop\r\nDrop\r\n", "drop\r\nDrop\r\nEND\r\n"},
    {"last line without end gets one", "a\r\nb", "a\r\nb\r\nEND\r\n"},
    {"dropped last line still needs a separator", "a\r\nDROP", "a\r\n\r\nEND\r\n"},
    {"ctrl-z at the end is dropped", "a\r\n\x1A", "a\r\nEND\r\n"},
    {"text after ctrl-z is gone",
     "a\r\nb\x1A"
     "c\r\nd\r\n",
     "a\r\nb\r\nEND\r\n"},
    {"only ctrl-z",
     "\x1A"
     "a\r\n",
     "END\r\n"},
    {"lone cr is text", "a\rb\r\n", "a\rb\r\nEND\r\n"},
    {"cr at the very end stays", "a\r", "a\r\r\nEND\r\n"},
    {"cr before ctrl-z stays", "a\r\x1A", "a\r\r\nEND\r\n"},
    {"cr cr lf", "a\r\r\n", "a\r\r\nEND\r\n"},
    {"nul bytes are kept", std::string("a\0b\r\nDR\0OP\r\n", 12),
     std::string("a\0b\r\nDR\0OP\r\nEND\r\n", 17)},
    {"needle after a nul is found", std::string("a\0DROP\r\nb\r\n", 11), "b\r\nEND\r\n"},
    {"every byte value but ctrl-z survives", std::string("\x01\x02\x7F\x80\xFF\x1B\t\r\n", 9),
     "\x01\x02\x7F\x80\xFF\x1B\t\r\nEND\r\n"},
    {"line of 254", kLong254 + "\r\n", kLong254 + "\r\nEND\r\n"},
    {"line of 255", kLong255 + "\r\n", kLong255 + "\r\nEND\r\n"},
    {"line of 255 without end", kLong255, kLong255 + "\r\nEND\r\n"},
    {"line of 300 copied whole", kLong300 + "\r\nb\r\n", kLong300 + "\r\nb\r\nEND\r\n"},
    {"needle in the second piece drops the whole line", kLong300 + "DROP\r\nb\r\n", "b\r\nEND\r\n"},
    {"needle in the first piece drops the whole line", "DROP" + kLong300 + "\r\nb\r\n",
     "b\r\nEND\r\n"},
    {"needle across the piece boundary is not seen", std::string(253, 'x') + "DROP\r\n",
     std::string(253, 'x') + "DROP\r\nEND\r\n"},
    {"dropped long last line without end", "a\r\n" + kLong300 + "DROP", "a\r\n\r\nEND\r\n"},
    {"cr lf split by the piece boundary", kLong254 + "\r\n" + "b\r\n",
     kLong254 + "\r\nb\r\nEND\r\n"},
    {"cr lf split by the read buffer", std::string(65535, 'a') + "\r\nb\r\n",
     std::string(65535, 'a') + "\r\nb\r\nEND\r\n"},
};

TEST_F(RewriteTest, Table) {
    for (const RewriteCase &c : kRewriteCases) {
        SCOPED_TRACE(c.name);
        std::remove((drive / "test.bat").c_str());
        std::optional<std::string> after = Rewrite(c.before);
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(Escaped(*after), Escaped(c.after));
    }
}

// The reader skips ordinary bytes a word at a time: a line end, a lone CR
// or a Ctrl-Z must be seen at every offset within and across words.
TEST_F(RewriteTest, SpecialBytesAtEveryOffset) {
    for (std::size_t offset = 0; offset < 24; ++offset) {
        SCOPED_TRACE(offset);
        const std::string head(offset, 'h');
        const std::string tail = "tail\r\n";
        const struct {
            std::string before;
            std::string after;
        } cases[] = {
            {head + "\r\n" + tail, head + "\r\n" + tail + "END\r\n"},
            {head + "\n" + tail, head + "\r\n" + tail + "END\r\n"},
            {head + "\r" + tail, head + "\r" + tail + "END\r\n"},
            {head + "\x1A" + tail, head + (offset > 0 ? "\r\n" : "") + "END\r\n"},
            {head + "DROP" + tail, "END\r\n"},
        };
        for (const auto &c : cases)
            EXPECT_EQ(Escaped(Rewrite(c.before).value_or("<missing>")), Escaped(c.after));
    }
}

// A second call settles the file; when the text ended with a line end the
// first call already left it settled.
TEST_F(RewriteTest, SecondCallChangesNothing) {
    const struct {
        const char *name;
        std::string before;
    } cases[] = {
        {"plain", "a\r\nDROP\r\nb\r\n"},  {"lf only", "a\nb\n"},
        {"no final end", "a\r\nb"},       {"ctrl-z", "a\r\n\x1A junk"},
        {"long line", kLong300 + "\r\n"}, {"unterminated needle line", "a\r\nX"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string first = Settle(c.before);
        std::string second = Settle(std::nullopt);
        std::string third = Settle(std::nullopt);
        EXPECT_EQ(Escaped(third), Escaped(second));
        if (c.before.ends_with('\n')) {
            EXPECT_EQ(Escaped(second), Escaped(first));
        }
    }
}

TEST_F(RewriteTest, UnterminatedNeedleLineGoesOnTheSecondCall) {
    EXPECT_EQ(Escaped(Settle("a\r\nX")), Escaped("a\r\nX\r\nX\r\n"));
    EXPECT_EQ(Escaped(Settle(std::nullopt)), Escaped("a\r\nX\r\n"));
}

TEST_F(RewriteTest, MultiMegabyteLineIsCopiedWhole) {
    std::string line(4 * 1024 * 1024 + 17, 'y');
    std::string after = Rewrite("a\r\n" + line + "\r\nb").value_or("");
    EXPECT_EQ(after.size(), 3 + line.size() + 2 + 3 + 5);
    EXPECT_EQ(after, "a\r\n" + line + "\r\nb\r\nEND\r\n");
}

TEST_F(RewriteTest, ExistingNameIsKept) {
    WriteBytes(drive / "TEST.BAT", "a\r\n");
    Rewrite(std::nullopt);
    EXPECT_EQ(ReadBytes(drive / "TEST.BAT"), "a\r\nEND\r\n");
    EXPECT_FALSE(testutil::Exists(drive / "test.bat"));
}

TEST_F(RewriteTest, TargetThatCannotBeReadIsNotReplaced) {
    std::filesystem::create_directory(drive / "test.bat");
    EXPECT_EQ(Rewrite(std::nullopt), "<directory>");
}

TEST_F(RewriteTest, TemporaryFileThatCannotBeCreatedLeavesTargetAlone) {
    std::filesystem::create_directory(drive / "test.tmp");
    WriteBytes(drive / "test.bat", "DROP\r\n");
    const std::string_view everything[] = {""};
    const std::string_view lines[] = {"END\n"};
    RewriteBatchFile("C:\\test.bat", "C:\\test.tmp", everything, lines);
    EXPECT_EQ(ReadBytes(drive / "test.bat"), "DROP\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(drive / "test.tmp"));
}

TEST_F(RewriteTest, ReadOnlyTargetIsLeftAlone) {
    WriteBytes(drive / "test.bat", "DROP\r\n");
    std::filesystem::permissions(drive / "test.bat", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::group_read);
    std::optional<std::string> after = Rewrite(std::nullopt);
    EXPECT_EQ(after, "DROP\r\n");
}

} // namespace
