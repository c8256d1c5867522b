// The Windows program's image: a small PE32 GUI-subsystem program for
// Windows 4.0 that imports only what Windows 95's KERNEL32 exports and
// holds no instruction that a 386 lacks.
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

const std::string kObjdump = "/usr/bin/i686-w64-mingw32-objdump";

std::string Win32Exe() {
    const char *exe = std::getenv("DOSPREP_WIN32_EXE");
    return exe && *exe ? exe : DOSPREP_SOURCE_DIR "/build/win32/dosprep.exe";
}

std::string Objdump(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv = {kObjdump};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(Win32Exe());
    return testutil::RunProgram(argv, {}).output;
}

// "DLL function" for every import of the image.
std::set<std::string> Imports(const std::string &headers) {
    std::set<std::string> imports;
    std::istringstream lines(headers);
    std::string dll;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        if (first == "DLL" && second == "Name:")
            dll = third;
        else if (!dll.empty() && line.starts_with("\t") && !third.empty() &&
                 first.find_first_not_of("0123456789abcdef") == std::string::npos &&
                 second.find_first_not_of("0123456789") == std::string::npos)
            imports.insert(dll + " " + third);
        else if (line.empty())
            dll.clear();
    }
    return imports;
}

std::set<std::string> Windows95Kernel32Exports() {
    std::set<std::string> names;
    std::ifstream list(DOSPREP_SOURCE_DIR "/tests/kernel32_win95.txt");
    for (std::string line; std::getline(list, line);)
        if (!line.empty() && !line.starts_with('#'))
            names.insert(line);
    return names;
}

struct CodeSection {
    std::string name;
    unsigned long address = 0, size = 0, fileOffset = 0;
};

// The sections that hold code, from `objdump -h`.
std::vector<CodeSection> CodeSections(const std::string &sectionHeaders) {
    std::vector<CodeSection> sections;
    std::istringstream lines(sectionHeaders);
    CodeSection last;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string index, name, size, vma, lma, offset;
        if (words >> index >> name >> size >> vma >> lma >> offset &&
            index.find_first_not_of("0123456789") == std::string::npos) {
            last = {name, std::stoul(vma, nullptr, 16), std::stoul(size, nullptr, 16),
                    std::stoul(offset, nullptr, 16)};
        } else if (line.find("CODE") != std::string::npos && !last.name.empty()) {
            sections.push_back(last);
        }
    }
    return sections;
}

// The linker ends .text with the constructor and destructor lists. Empty,
// they are -1, 0, -1, 0: data, not code. A longer list would name
// constructors that our start-up code never runs.
const std::string kEmptyConstructorLists("\xFF\xFF\xFF\xFF\0\0\0\0\xFF\xFF\xFF\xFF\0\0\0\0", 16);

std::string SectionTail(const CodeSection &section, std::size_t count) {
    std::ifstream image(Win32Exe(), std::ios::binary);
    image.seekg(static_cast<std::streamoff>(section.fileOffset + section.size - count));
    std::string tail(count, '\0');
    image.read(tail.data(), static_cast<std::streamsize>(count));
    return image ? tail : "";
}

// Mnemonics, by their beginning, of instructions that the 386 does not
// have: Pentium Pro and later (CMOV, FCMOV, FCOMI, SYSENTER), the 486
// (BSWAP, XADD, CMPXCHG), the Pentium (CPUID, RDTSC, RDMSR, CMPXCHG8B),
// and the extensions of later processors.
const char *const kBeyondThe386[] = {
    "cmov",   "fcmov",   "fcomi",   "fucomi",  "sysenter", "sysexit", "syscall", "sysret",
    "cpuid",  "rdtsc",   "rdmsr",   "wrmsr",   "rdpmc",    "cmpxchg", "bswap",   "xadd",
    "popcnt", "lzcnt",   "tzcnt",   "movbe",   "lfence",   "mfence",  "sfence",  "prefetch",
    "endbr",  "fxsave",  "fxrstor", "ldmxcsr", "stmxcsr",  "fisttp",  "emms",    "femms",
    "movnti", "clflush", "rdrand",  "rdseed",  "invd",     "wbinvd",  "invlpg",  "crc32",
    "andn",   "bextr",   "blsi",    "blsmsk",  "blsr",     "bzhi",    "pdep",    "pext",
    "rorx",   "sarx",    "shlx",    "shrx",    "adcx",     "adox",    "xgetbv",  "xsave",
};

const std::set<std::string> kPrefixes = {"lock",   "rep",    "repz",   "repnz", "repe",   "repne",
                                         "data16", "addr16", "addr32", "cs",    "ds",     "es",
                                         "ss",     "fs",     "gs",     "bnd",   "notrack"};

// Why an instruction (as objdump prints it) cannot run on a 386; empty
// when it can.
std::string BeyondThe386(const std::string &instruction) {
    std::istringstream words(instruction);
    std::string mnemonic;
    while (words >> mnemonic && kPrefixes.count(mnemonic))
        continue;
    std::string operands;
    std::getline(words, operands);
    if (mnemonic == "(bad)")
        return "bytes that are no instruction";
    for (const char *beyond : kBeyondThe386)
        if (mnemonic.starts_with(beyond))
            return mnemonic;
    // A NOP with operands is the multi-byte NOP, 0F 1F.
    if (mnemonic.starts_with("nop") && operands.find_first_not_of(' ') != std::string::npos)
        return "multi-byte nop";
    static const std::regex kVectorRegister("%[xyz]?mm[0-9]");
    if (std::regex_search(operands, kVectorRegister))
        return "MMX/SSE/AVX register";
    return "";
}

class PeImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::filesystem::exists(Win32Exe()) && std::filesystem::exists(kObjdump)) {
            headers_ = Objdump({"-p"});
            if (!headers_.empty())
                return;
        }
        const char *ci = std::getenv("CI");
        if (ci && std::string(ci) == "true")
            FAIL() << "cannot read " << Win32Exe() << " with " << kObjdump;
        GTEST_SKIP() << "SKIPPED: no " << Win32Exe() << " or no " << kObjdump;
    }
    std::string headers_;
};

TEST_F(PeImageTest, IsASmall32BitGuiProgramForWindows4) {
    for (const char *field : {"Magic\t\t\t010b\t(PE32)", "Subsystem\t\t00000002\t(Windows GUI)",
                              "MajorOSystemVersion\t4", "MinorOSystemVersion\t0",
                              "MajorSubsystemVersion\t4", "MinorSubsystemVersion\t0"})
        EXPECT_NE(headers_.find(field), std::string::npos) << field;
    EXPECT_LE(std::filesystem::file_size(Win32Exe()), 8u * 1024u);
}

TEST_F(PeImageTest, ImportsOnlyWhatWindows95Kernel32Exports) {
    std::set<std::string> exports = Windows95Kernel32Exports();
    ASSERT_GT(exports.size(), 600u);
    std::set<std::string> imports = Imports(headers_);
    ASSERT_GT(imports.size(), 10u) << headers_;
    for (const std::string &import : imports) {
        ASSERT_TRUE(import.starts_with("KERNEL32.dll ")) << import;
        EXPECT_TRUE(exports.count(import.substr(13))) << "not exported by Windows 95: " << import;
    }
}

TEST_F(PeImageTest, HasNoInstructionThatA386Lacks) {
    std::vector<CodeSection> sections = CodeSections(Objdump({"-h"}));
    ASSERT_FALSE(sections.empty());
    std::size_t instructions = 0;
    for (const CodeSection &section : sections) {
        unsigned long end = section.address + section.size;
        if (section.name == ".text") {
            ASSERT_EQ(testutil::Escaped(SectionTail(section, kEmptyConstructorLists.size())),
                      testutil::Escaped(kEmptyConstructorLists))
                << "static constructors or destructors, which nothing would run";
            end -= kEmptyConstructorLists.size();
        }
        std::ostringstream stop;
        stop << "--stop-address=0x" << std::hex << end;
        std::istringstream lines(
            Objdump({"-d", "--insn-width=16", "-j", section.name, stop.str()}));
        for (std::string line; std::getline(lines, line);) {
            // "  401000:\t55 \tpush   %ebp": address, bytes, instruction.
            std::size_t bytes = line.find(":\t");
            std::size_t text = line.find('\t', bytes + 2);
            if (bytes == std::string::npos || text == std::string::npos)
                continue;
            ++instructions;
            std::string why = BeyondThe386(line.substr(text + 1));
            EXPECT_EQ(why, "") << section.name << ": " << line;
        }
    }
    EXPECT_GT(instructions, 100u);
}

} // namespace
