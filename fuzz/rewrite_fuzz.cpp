// libFuzzer target for RewriteBatchFile: the output must equal what a
// small reference model computes, and repeated rewrites must settle.
//
// Input: byte 0 picks a keep test and the appended lines from kVariants;
// byte 1 at 0xE0 or above puts a run of 'p' of nearly 64 KiB before the
// rest, so that lines, CR LF pairs and Ctrl-Z meet the reader's 64 KiB
// buffer boundary; the remaining bytes are the batch file.
#include "batch/batch_edit.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

using fuzz::Escaped;
using fuzz::Fail;
using fuzz::WriteFile;

const char *const fuzz::kTargetName = "rewrite_fuzz";

namespace {

struct Variant {
    std::string_view needle; // a piece containing it is dropped
    std::vector<std::string> appended;
};

const Variant kVariants[] = {
    {"BLASTER=", {"SET BLASTER=A220 I5 D1 T4\n"}},
    {"X\n", {"X\n"}},
    {"DROP", {"END\n"}}, // appended line is kept: the file grows each time
    {"\n", {"Z\n"}},     // every terminated line goes
    {"\r", {"A\rB\n"}},  // a lone CR inside an appended line
    {"@", {"@CHCP 437\n", "@RUN\n"}},
    {"x", {"x1\n", "2\n"}},                // only some appended lines are dropped
    {"y", {std::string(300, 'y') + "\n"}}, // appended line of several pieces
    {"", {"E\n"}},                         // the empty needle matches every piece
};
constexpr std::size_t kVariantCount = std::size(kVariants);

constexpr std::size_t kPieceLength = 255;
constexpr std::size_t kMaxInput = 1 << 20;

std::filesystem::path g_drive;

// Shows where two renditions part, which is what one needs to debug a
// failure on inputs that may be 64 KiB long.
[[noreturn]] void FailDiffer(const char *what, std::string_view expected, std::string_view actual) {
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    std::size_t from = at > 40 ? at - 40 : 0;
    std::fprintf(stderr,
                 "rewrite_fuzz: %s: sizes %zu (expected) and %zu, first difference at %zu\n"
                 "  expected ...%s\n  actual   ...%s\n",
                 what, expected.size(), actual.size(), at,
                 Escaped(expected.substr(from, 80)).c_str(),
                 Escaped(actual.substr(from, 80)).c_str());
    Fail(what);
}

// The text as the program sees it: up to the first Ctrl-Z, CR LF as LF.
// Bulk string operations here and below: the harness is instrumented too,
// and byte loops over 64 KiB inputs would halve the execution rate.
std::string InternalText(std::string_view raw) {
    raw = raw.substr(0, raw.find('\x1A'));
    std::string text;
    text.reserve(raw.size());
    for (;;) {
        std::size_t crlf = raw.find("\r\n");
        if (crlf == std::string_view::npos)
            break;
        text.append(raw.substr(0, crlf)).append(1, '\n');
        raw.remove_prefix(crlf + 2);
    }
    return text.append(raw);
}

std::string DosText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (;;) {
        std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos)
            break;
        out.append(text.substr(0, lf)).append("\r\n");
        text.remove_prefix(lf + 1);
    }
    return out.append(text);
}

// A line (its LF included) is tested in pieces of kPieceLength characters.
bool LineDropped(std::string_view line, std::string_view needle) {
    for (std::size_t at = 0; at < line.size(); at += kPieceLength) {
        if (line.substr(at, kPieceLength).find(needle) != std::string_view::npos)
            return true;
    }
    return false;
}

std::string ModelRewrite(std::string_view raw, const Variant &variant) {
    std::string text = InternalText(raw);
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line = std::string_view(text).substr(start, end - start);
        if (!LineDropped(line, variant.needle))
            out += line;
        start = end;
    }
    if (!text.empty() && text.back() != '\n')
        out += '\n';
    for (const std::string &line : variant.appended)
        out += line;
    return DosText(out);
}

std::string ReadFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail("target file missing after the rewrite");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs one rewrite of C:\test.bat and checks what must hold after any run.
std::string RewriteOnce(const Variant &variant) {
    const std::string_view needles[] = {variant.needle};
    const std::vector<std::string> &lines = variant.appended;
    std::vector<std::string_view> appended(lines.begin(), lines.end());
    RewriteBatchFile("C:\\test.bat", "C:\\test.tmp", needles, appended);

    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(g_drive, error)) {
        std::string name = entry.path().filename().string();
        if (name == "test.tmp")
            Fail("temporary file left behind");
        if (name != "test.bat")
            Fail("stray file left on drive C");
    }
    if (error)
        Fail("cannot list drive C (harness)");

    std::string output = ReadFile(g_drive / "test.bat");
    std::string tail;
    for (const std::string &line : lines)
        tail += DosText(line);
    if (!output.ends_with(tail))
        Fail("output does not end with the appended lines in CR LF form");
    return output;
}

void CheckAgainstModel(const char *what, std::string_view before, std::string_view after,
                       const Variant &variant) {
    std::string expected = ModelRewrite(before, variant);
    if (after != expected)
        FailDiffer(what, expected, after);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_drive = fuzz::MakeScratchDrive();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2 || size > kMaxInput)
        return 0;
    const Variant &variant = kVariants[data[0] % kVariantCount];
    std::string input;
    if (data[1] >= 0xE0)
        input.assign(65536 - 32 + (data[1] - 0xE0u), 'p');
    input.append(reinterpret_cast<const char *>(data) + 2, size - 2);

    WriteFile(g_drive / "test.bat", input);
    std::string first = RewriteOnce(variant);
    CheckAgainstModel("first rewrite differs from the model", input, first, variant);
    std::string second = RewriteOnce(variant);
    CheckAgainstModel("second rewrite differs from the model", first, second, variant);
    std::string third = RewriteOnce(variant);
    CheckAgainstModel("third rewrite differs from the model", second, third, variant);

    // Once every appended line is one the keep test drops, the file settles:
    // the first rewrite leaves only LF-terminated lines, and a line's pieces
    // depend on that line alone, so a line kept once is kept again. Only a
    // last line without a line end can change (it gains one, and may then
    // match), which is why a text ending in LF is settled after one call.
    bool appendedDropped = true;
    for (const std::string &line : variant.appended)
        appendedDropped = appendedDropped && LineDropped(line, variant.needle);
    if (appendedDropped) {
        if (third != second)
            FailDiffer("third rewrite changed a settled file", second, third);
        std::string text = InternalText(input);
        if ((text.empty() || text.back() == '\n') && second != first)
            FailDiffer("second rewrite changed a text that ended with a line end", first, second);
    }
    return 0;
}
