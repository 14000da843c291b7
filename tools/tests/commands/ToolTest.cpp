// Drives the real pelk-mapcopy binary in a fresh device folder per test.
#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <fcntl.h>
#  include <poll.h>
#  include <signal.h>
#  include <sys/mount.h>
#  include <sys/stat.h>
#  include <sys/sysmacros.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "FatImage.h"
#include "InProcessTool.h"
#include "ToolProcess.h"
#include "ToolOutput.h"
#include "ToolPlatform.h"

namespace {

#if defined(_WIN32)
const std::string kModulePath = BesideThisProgram(PELK_MODULE_FILE).u8string();
const std::string kStandInPath = BesideThisProgram(PELK_STAND_IN_FILE).u8string();

// The system's words for an error, as the tool reports it on this platform.
std::string SystemSays(unsigned long win32Error, const char*)
{
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   win32Error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string said = text ? fs::path(text).u8string() : std::string();
    if (text) LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ' || said.back() == '.'))
        said.pop_back();
    return said;
}
#else
const std::string kModulePath = PELK_MODULE_PATH;
const std::string kStandInPath = PELK_STAND_IN_PATH;

std::string SystemSays(unsigned long, const char* posixText) { return posixText; }
#endif

// The Win32 errors of the rows that name the system's reason (winerror.h).
const unsigned long kFileNotFound = 2; // ERROR_FILE_NOT_FOUND
const unsigned long kAccessDenied = 5; // ERROR_ACCESS_DENIED
const unsigned long kNotAFolder = 267; // ERROR_DIRECTORY

// A path in a message as the tool shows it: the platform's separators.
std::string Native(std::string text)
{
    for (char& c : text)
        if (c == '/') c = static_cast<char>(fs::path::preferred_separator);
    return text;
}


// As seal writes the number into checksum.ini, and (padded) as the tool shows sums.
std::string Hex(uint16_t value, const char* format = "%X")
{
    char text[8];
    snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    return text;
}

std::string ShownSum(uint16_t value) { return Hex(value, "%04X"); }

const std::vector<PackageFile> kPackage = {
    {"PreDLVerno.ini", "[Version]\r\nMap=2026.11\r\n"},
    {"Map/Europe/DE.map", PatternBytes(4096, 1)},
    {"Map/Europe/FR.map", PatternBytes(1025, 2)},
    {"Map/Europe/empty.idx", ""},
    {"Poi/fuel.csv", "id;name\r\n1;\xC3\x9C" "ber\r\n"},
    {"Poi/CHECKSUM.INI", "not summed in any folder"},
};

class ToolTest : public ToolProcessTest {
protected:
    std::string Package() const { return (Root() / "SDMMC" / "PreDLMap").u8string(); }
};

// The stand-in module's job held where the test wants it (StandInModule.cpp):
// Reached() once it says so, Release() to let it return. Its control files
// lie in folder.
#if defined(_WIN32)
class HeldJob {
public:
    explicit HeldJob(const fs::path& folder)
    {
        static int s_made = 0;
        const std::string name =
            "\\\\.\\pipe\\pelk-stand-in-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++s_made);
        pipe_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                 16, 16, 0, nullptr);
        std::ofstream(folder / "stand-in.hold") << name << "\n";
        done_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~HeldJob()
    {
        Release();
        CloseHandle(done_.hEvent);
    }

    // Bounded: a stand-in silent for two minutes has hung.
    bool Reached()
    {
        char byte = 0;
        DWORD moved = 0;
        const bool connected = ConnectNamedPipe(pipe_, &done_) || GetLastError() == ERROR_PIPE_CONNECTED ||
                               (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(done_.hEvent, 120 * 1000) == 0);
        const bool said = connected && (ReadFile(pipe_, &byte, 1, nullptr, &done_) || GetLastError() == ERROR_IO_PENDING) &&
                          GetOverlappedResult(pipe_, &done_, &moved, TRUE) && moved == 1;
        EXPECT_TRUE(said) << "the stand-in never reached its moment";
        return said;
    }
    void Release()
    {
        if (pipe_ == INVALID_HANDLE_VALUE) return;
        DWORD moved = 0;
        if (WriteFile(pipe_, "g", 1, nullptr, &done_) || GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(pipe_, &done_, &moved, TRUE);
        CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    OVERLAPPED done_ = {};
};
#else
class HeldJob {
public:
    explicit HeldJob(const fs::path& folder) : hold_(folder / "stand-in.hold")
    {
        const fs::path moment = folder / "stand-in.moment";
        EXPECT_EQ(mkfifo(moment.c_str(), 0600), 0);
        EXPECT_EQ(mkfifo(hold_.c_str(), 0600), 0);
        // Opened first, without waiting, so that the stand-in's open for
        // writing finds a reader; poll then wakes at the moment itself.
        moment_ = open(moment.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~HeldJob()
    {
        // Where the stand-in still waits: let go, never waited for.
        const int end = open(hold_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (end >= 0) close(end);
        if (moment_ >= 0) close(moment_);
    }

    // Bounded: a run silent for two minutes has hung.
    bool Reached()
    {
        struct pollfd wait = {moment_, POLLIN, 0};
        char byte = 0;
        const bool said = poll(&wait, 1, 120 * 1000) == 1 && read(moment_, &byte, 1) == 1;
        EXPECT_TRUE(said) << "the run never reached its moment";
        return said;
    }
    // Its end of the FIFO opened and closed: the stand-in reads to the end.
    void Release()
    {
        const int end = open(hold_.c_str(), O_WRONLY | O_CLOEXEC);
        if (end >= 0) close(end);
    }

private:
    fs::path hold_;
    int moment_ = -1;
};
#endif

// ---- command line ------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    int code;
    const char* stdoutHas; // null: stdout stays empty and stderr explains
    const char* stderrHas = nullptr; // the error names the option
};


class ToolCommandLine : public ToolTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(ToolCommandLine, AnswersOnTheRightStreamWithTheRightCode)
{
    const UsageCase& c = GetParam();
    ToolResult result = Tool(c.arguments);
    EXPECT_EQ(result.code, c.code) << result.err;
    if (c.stdoutHas) {
        EXPECT_TRUE(Has(result.out, c.stdoutHas));
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_EQ(result.out, "");
        if (c.code == 64) {
            EXPECT_TRUE(Has(result.err, "Usage:"));
        }
    }
    if (c.stderrHas) {
        EXPECT_TRUE(Has(result.err, c.stderrHas));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolCommandLine,
    ::testing::Values(UsageCase{"ToolHelp", {"--help"}, 0, "Commands:"},
                      UsageCase{"Version", {"--version"}, 0, "pelk-mapcopy " PELK_VERSION},
                      UsageCase{"RunHelp", {"run", "--help"}, 0, "--device-root DIR"},
                      UsageCase{"SealHelp", {"seal", "--help"}, 0, "Usage: pelk-mapcopy seal"},
                      UsageCase{"VerifyHelp", {"verify", "--help"}, 0, "Usage: pelk-mapcopy verify"},
                      UsageCase{"WriteHelp", {"write", "--help"}, 0, "--any-volume"},
                      UsageCase{"CheckHelp", {"check", "--help"}, 0, "Usage: pelk-mapcopy check"},
                      UsageCase{"CheckWithoutCards", {"check"}, 64, nullptr, "check: expected at least one CARD_DIR"},
                      UsageCase{"CheckUnknownOption", {"check", "--any-volume", "c"}, 64, nullptr,
                                "check: unknown option '--any-volume'"},
                      UsageCase{"StationHelp", {"station", "--help"}, 0, "[--watch DIR]..."},
                      UsageCase{"HelpForStation", {"help", "station"}, 0, "A second Ctrl-C stops each card"},
                      UsageCase{"ToolHelpNamesStation", {"--help"}, 0, "  station write a sealed package onto every card"},
                      UsageCase{"StationWatchWithoutValue", {"station", "pkg", "--watch"}, 64, nullptr,
                                "station: option '--watch' needs a value"},
                      UsageCase{"HelpCommand", {"help"}, 0, "Commands:"},
                      UsageCase{"HelpForACommand", {"help", "run"}, 0, "--device-root DIR"},
                      UsageCase{"HelpOptionForACommand", {"--help", "seal"}, 0, "Usage: pelk-mapcopy seal"},
                      UsageCase{"HelpForAnUnknownCommand", {"help", "install"}, 64, nullptr},
                      UsageCase{"SealUnknownOption", {"seal", "--fast", "x"}, 64, nullptr},
                      UsageCase{"NoCommand", {}, 64, nullptr}, UsageCase{"UnknownCommand", {"install"}, 64, nullptr},
                      UsageCase{"SealWithoutFolder", {"seal"}, 64, nullptr},
                      UsageCase{"VerifyTwoFolders", {"verify", "a", "b"}, 64, nullptr},
                      UsageCase{"RunUnknownOption", {"run", "--fast"}, 64, nullptr},
                      UsageCase{"RunRootWithoutValue", {"run", "--device-root"}, 64, nullptr},
                      UsageCase{"RepeatedOption", {"run", "--force", "--force"}, 64, nullptr, "run: option '--force' given twice"},
                      UsageCase{"RepeatedValueOption", {"run", "--library=a", "--library", "b"}, 64, nullptr,
                                "run: option '--library' given twice"},
                      UsageCase{"UnknownOptionNamed", {"verify", "--fast", "x"}, 64, nullptr, "verify: unknown option '--fast'"},
                      UsageCase{"EmptyValue", {"run", "--device-root="}, 64, nullptr, "option '--device-root' needs a value"},
                      UsageCase{"FlagWithValue", {"seal", "--force=yes", "x"}, 64, nullptr, "option '--force' takes no value"},
                      UsageCase{"RunWithAnOperand", {"run", "card"}, 64, nullptr, "run: expected no operand, got 1"},
                      // After "--" an argument is a folder, even one named like an option.
                      UsageCase{"DashDashEndsTheOptions", {"verify", "--", "--help"}, 66, nullptr,
                                "cannot open the package folder --help"},
                      UsageCase{"RootAsOneArgument", {"run", "--device-root=nowhere"}, 66, nullptr,
                                "cannot enter the device root nowhere"}),
    ByName());

// ---- seal and verify ---------------------------------------------------

TEST_F(ToolTest, SealWritesTheDeviceSumThatVerifyAndTheJobAccept)
{
    const uint16_t sum = WritePackage(kPackage);
    ToolResult sealed = Tool({"seal", Package()});
    ASSERT_EQ(sealed.code, 0) << sealed.err;
    EXPECT_EQ(ReadFile("SDMMC/PreDLMap/checksum.ini"), Hex(sum) + "\r\n");
    EXPECT_TRUE(Has(sealed.out, "package sum " + ShownSum(sum)));

    ToolResult verified = Tool({"verify", Package()});
    EXPECT_EQ(verified.code, 0) << verified.out;
    EXPECT_TRUE(Has(verified.out, "match"));

    // The device agrees: the job installs the sealed package.
    ToolResult run = Tool({"run"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
}

TEST_F(ToolTest, SealAndRunMeetTheCardsNamesInAnyCase)
{
    const uint16_t sum = WritePackage(kPackage);
    WriteFile("SDMMC/PreDLMap/CHECKSUM.INI", "0\r\n");
    ASSERT_EQ(Tool({"seal", Package()}).code, 0);
    // Listed, not opened: an open finds a name in any letter case on Windows.
    const Snapshot sealed = Snap("SDMMC/PreDLMap");
    EXPECT_EQ(sealed.count("checksum.ini"), 0u) << "no second checksum file";
    EXPECT_EQ(sealed.count("CHECKSUM.INI"), 1u);
    EXPECT_EQ(ReadFile("SDMMC/PreDLMap/CHECKSUM.INI"), Hex(sum) + "\r\n");
    EXPECT_EQ(Tool({"verify", Package()}).code, 0);

    // Through a third name: Wine keeps a name that changes only in case.
    fs::rename(Root() / "SDMMC/PreDLMap", Root() / "SDMMC/renamed");
    fs::rename(Root() / "SDMMC/renamed", Root() / "SDMMC/predlmap");
    fs::rename(Root() / "SDMMC", Root() / "renamed");
    fs::rename(Root() / "renamed", Root() / "sdmmc");
    std::set<std::string> atTheRoot;
    for (const fs::directory_entry& entry : fs::directory_iterator(Root()))
        atTheRoot.insert(entry.path().filename().u8string());
    ASSERT_EQ(atTheRoot.count("sdmmc"), 1u);
    ASSERT_EQ(Snap("sdmmc").count("predlmap"), 1u);
    WriteFile("massstorage/old.bin", "stale");
    ToolResult run = Tool({"run"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "MassStorage holds 7 files ("));
    EXPECT_EQ(Snap("MassStorage"), Snap("sdmmc/predlmap"));
}

TEST_F(ToolTest, SealWritesAManifestBesideThePackageThatNamesWhatVerifyFindsGoneOrNew)
{
    WritePackage(kPackage);
    ToolResult sealed = Tool({"seal", Package()});
    ASSERT_EQ(sealed.code, 0) << sealed.err;
    EXPECT_TRUE(Has(sealed.out, "manifest of 7 files written to "));
    EXPECT_FALSE(Exists("SDMMC/PreDLMap/PreDLMap.sha256")) << "never inside: the device would copy it";
    const std::string manifest = ReadFile("SDMMC/PreDLMap.sha256");
    size_t lines = 0;
    for (char c : manifest) lines += c == '\n';
    EXPECT_EQ(lines, 7u) << manifest;
    // Sorted as bytes, every file with its own digest, checksum.ini as sealed.
    EXPECT_EQ(manifest.find("  Map/Europe/DE.map\n"), 64u) << manifest;
    EXPECT_TRUE(Has(manifest, "  checksum.ini\n"));
    EXPECT_TRUE(Has(manifest, "  PreDLVerno.ini\n"));
#if !defined(_WIN32)
    if (system("command -v sha256sum >/dev/null 2>&1") == 0) {
        const std::string check = "cd '" + Package() + "' && sha256sum --quiet --strict -c ../PreDLMap.sha256";
        EXPECT_EQ(system(check.c_str()), 0) << manifest;
    }
#endif
    ASSERT_EQ(Tool({"verify", Package()}).out.find("manifest PreDLMap.sha256: every file as sealed (7 files)\n") !=
                  std::string::npos,
              true);
    RemoveTree("SDMMC/PreDLMap/Map/Europe/FR.map");
    WriteFile("SDMMC/PreDLMap/Map/Europe/IT.map", "new");
    ToolResult verified = Tool({"verify", Package()});
    EXPECT_TRUE(Has(verified.out, "manifest PreDLMap.sha256: 2 files differ since sealing\nadded: Map/Europe/IT.map\n"
                                "missing: Map/Europe/FR.map\n"));
    // A manifest that is no manifest is said, and verify still gives the device's verdict.
    WriteFile("SDMMC/PreDLMap.sha256", "garbage\n");
    verified = Tool({"verify", Package()});
    EXPECT_TRUE(Has(verified.out, "manifest PreDLMap.sha256 cannot be read: line 1 is no sha256sum line"));
}

#ifndef _WIN32
TEST_F(ToolTest, SealRefusesLinksTheJobWouldNotCopy)
{
    // Even a link that stays inside the package: the job never follows one,
    // so the device would end with 5 where seal had summed the target.
    WritePackage(kPackage);
    fs::create_symlink(Root() / "SDMMC/PreDLMap/Map/Europe/DE.map", Root() / "SDMMC/PreDLMap/Map/linked.bin");
    ToolResult sealed = Tool({"seal", Package()});
    EXPECT_EQ(sealed.code, 65) << sealed.err;
    EXPECT_TRUE(Has(sealed.err, "Map/linked.bin: a symbolic link: the device's job never follows links"));
    ASSERT_EQ(Tool({"seal", "--force", Package()}).code, 0);
    EXPECT_EQ(Tool({"run"}).code, 64);
    ToolResult forced = Tool({"run", "--force"});
    EXPECT_EQ(forced.code, STATUS_COPY_FAILED) << forced.out;
    EXPECT_TRUE(Has(forced.out, "finding: Map/linked.bin: a symbolic link"));
}
#endif

enum class Change { None, FirstByte, Appended, TwoSwapped };

// Where the sealed package is: sealed in place in the device's SDMMC (a
// card's own layout: PreDLMap and its manifest beside it), sealed elsewhere
// under another name, or written onto a card by write.
const char kSealedInPlace[] = "SDMMC/PreDLMap";
const char kSealedElsewhere[] = "maps/europe";
const char kWrittenCard[] = "card/PreDLMap";

struct ChangeCase {
    const char* name;
    const char* file; // relative to the package
    Change change;
    int verifyCode;
    const char* manifestSays; // the line verify prints from the manifest
    int deviceCode;           // what the job returns on the package (run --force)
    const char* folder = kSealedInPlace;
};


class ToolVerifyChange : public ToolTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ToolVerifyChange, CatchesChangedBytesButNotTheExcludedFiles)
{
    const ChangeCase& c = GetParam();
    WritePackage(kPackage);
    const std::string where = c.folder;
    if (where == kSealedElsewhere) {
        MakeFolder("maps");
        fs::rename(Root() / "SDMMC/PreDLMap", Root() / kSealedElsewhere);
    }
    const fs::path folder = Root() / U8Path(where);
    ASSERT_EQ(Tool({"seal", (where == kSealedElsewhere ? folder : U8Path(Package())).u8string()}).code, 0);
    if (where == kWrittenCard) {
        MakeFolder("card");
        ASSERT_EQ(Tool({"write", "--any-volume", Package(), (Root() / "card").u8string()}).code, 0);
    }
    const std::string relative = where + "/" + c.file;
    std::string bytes = ReadFile(relative);
    if (c.change == Change::Appended) bytes += "x";
    else if (c.change == Change::FirstByte) bytes[0] = static_cast<char>(bytes[0] + 1);
    else if (c.change == Change::TwoSwapped) std::swap(bytes[0], bytes[1]); // the same byte sum
    ASSERT_EQ(bytes == ReadFile(relative), c.change == Change::None);
    WriteFile(relative, bytes);
    ToolResult verified = Tool({"verify", folder.u8string()});
    EXPECT_EQ(verified.code, c.verifyCode) << verified.out;
    const std::string manifest = folder.filename().u8string() + ".sha256";
    if (c.change != Change::None) {
        EXPECT_TRUE(Has(verified.out, "manifest " + manifest + ": 1 file differs since sealing\n"));
    }
    EXPECT_TRUE(Has(verified.out, c.manifestSays));
    // Sealing a changed package would seal the change: never the way on.
    EXPECT_EQ(verified.out.find("pelk-mapcopy seal"), std::string::npos) << verified.out;
    const std::string writeAgain = "(pelk-mapcopy write PACKAGE_DIR " + Native(folder.parent_path().u8string()) + ")";
    const std::string restore = "(" + manifest + "): restore it, or, if the change is intended, check it and seal it";
    const bool card = where != kSealedElsewhere;
    EXPECT_EQ(verified.out.find(writeAgain) != std::string::npos, card && c.change != Change::None) << verified.out;
    EXPECT_EQ(verified.out.find(restore) != std::string::npos, !card && c.change != Change::None) << verified.out;
    if (where == kWrittenCard && c.change != Change::None) {
        // Given as ".", the package still names the card that holds it.
        ToolResult inside = Tool({"verify", "."}, folder);
        EXPECT_EQ(inside.code, c.verifyCode) << inside.out;
        EXPECT_TRUE(Has(inside.out, "(pelk-mapcopy write PACKAGE_DIR " + (Root() / "card").u8string() + ")"));
    }
    if (where != kSealedInPlace) return;
    // verify reads the number as the device does, so run agrees with it:
    // it refuses what the device rates non-zero, and the forced job ends so.
    const Snapshot before = Snap("MassStorage");
    EXPECT_EQ(Tool({"run"}).code, c.deviceCode ? 64 : 0);
    if (c.deviceCode) {
        EXPECT_EQ(Snap("MassStorage"), before);
    }
    EXPECT_EQ(Tool({"run", "--force"}).code, c.deviceCode);
}

// A difference from the manifest exits 65 where the device would take the
// package; a status of the device's own wins over it.
INSTANTIATE_TEST_SUITE_P(Cases, ToolVerifyChange,
                         ::testing::Values(
                             ChangeCase{"TileByte", "Map/Europe/DE.map", Change::FirstByte, 6,
                                        "changed: Map/Europe/DE.map", 6},
                             ChangeCase{"ByteAppended", "Poi/fuel.csv", Change::Appended, 6, "changed: Poi/fuel.csv", 6},
                             // The byte sum cannot see it; the manifest can.
                             ChangeCase{"TwoBytesSwapped", "Map/Europe/FR.map", Change::TwoSwapped, 65,
                                        "changed: Map/Europe/FR.map", 0},
                             ChangeCase{"TwoBytesSwappedSealedElsewhere", "Map/Europe/FR.map", Change::TwoSwapped, 65,
                                        "changed: Map/Europe/FR.map", 0, kSealedElsewhere},
                             ChangeCase{"TwoBytesSwappedOnAWrittenCard", "Map/Europe/FR.map", Change::TwoSwapped, 65,
                                        "changed: Map/Europe/FR.map", 0, kWrittenCard},
                             ChangeCase{"UnchangedOnAWrittenCard", "Map/Europe/FR.map", Change::None, 0,
                                        "manifest PreDLMap.sha256: every file as sealed (7 files)\n", 0, kWrittenCard},
                             ChangeCase{"Unchanged", "Map/Europe/FR.map", Change::None, 0,
                                        "manifest PreDLMap.sha256: every file as sealed (7 files)\n", 0},
                             ChangeCase{"VersionFile", "PreDLVerno.ini", Change::FirstByte, 65,
                                        "changed: PreDLVerno.ini", 0},
                             ChangeCase{"ChecksumInSubFolder", "Poi/CHECKSUM.INI", Change::Appended, 65,
                                        "changed: Poi/CHECKSUM.INI", 0},
                             ChangeCase{"TextAfterTheNumber", "checksum.ini", Change::Appended, 65,
                                        "manifest PreDLMap.sha256 disagrees with checksum.ini", 0}),
                         ByName());

TEST_F(ToolTest, VerifyReadsTheNumberAsTheDeviceDoes)
{
    const uint16_t sum = WritePackage(kPackage);
    WriteChecksumFile("  0x5" + Hex(sum) + "\n"); // higher bits are ignored
    EXPECT_EQ(Tool({"verify", Package()}).code, 0);
    WriteChecksumFile("[" + Hex(sum) + "]");
    EXPECT_EQ(Tool({"verify", Package()}).code, 6);
}

TEST_F(ToolTest, VerifyFailsWithSixWhenTheChecksumFileIsMissing)
{
    WritePackage(kPackage);
    ToolResult verified = Tool({"verify", Package()});
    EXPECT_EQ(verified.code, 6);
    EXPECT_TRUE(Has(verified.out, "checksum.ini missing: the device's job would end with 6"));
    EXPECT_TRUE(Has(verified.out, "; run pelk-mapcopy seal " + Package() + " to write it"));
}

TEST_F(ToolTest, AnEmptyPackageSealsToZero)
{
    MakeFolder("SDMMC/PreDLMap");
    ASSERT_EQ(Tool({"seal", Package()}).code, 0);
    EXPECT_EQ(ReadFile("SDMMC/PreDLMap/checksum.ini"), "0\r\n");
    EXPECT_EQ(Tool({"verify", Package()}).code, 0);
}

// Every refusal and pre-flight finding of seal and verify: each row makes
// its package (setup), and gives the codes and what the output (stdout and
// stderr) must name: the path, and a key phrase where it is the point.
class ToolFailure;

struct FailureCase {
    const char* name;
    void (*setup)(ToolFailure& test);
    int sealCode;
    int verifyCode;
    std::vector<std::string> sealSays;
    std::vector<std::string> verifySays = {}; // empty: as seal
    int runCode = -1; // run on the same device: 64, a refusal that names what verify says; -1 not tried
};


class ToolFailure : public ToolTest, public ::testing::WithParamInterface<FailureCase> {
public:
    using ToolTest::MakeFolder;
#if !defined(_WIN32)
    using ToolTest::Mount;
#endif
    using ToolTest::RemoveTree;
    using ToolTest::Root;
    using ToolTest::SetReadOnly;
    using ToolTest::WriteChecksumFile;
    using ToolTest::WriteFile;

    std::string folder; // the package as the commands are given it

protected:
    // Each command's code, and that its output names what the row says.
    void ExpectEachCommandSays(const FailureCase& c)
    {
        const std::vector<std::string>& verifySays = c.verifySays.empty() ? c.sealSays : c.verifySays;
        for (const char* command : {"verify", "seal"}) {
            const bool seal = std::string(command) == "seal";
            ToolResult result = Tool({command, folder});
            EXPECT_EQ(result.code, seal ? c.sealCode : c.verifyCode) << command << ": " << result.out << result.err;
            for (const std::string& part : seal ? c.sealSays : verifySays)
                EXPECT_TRUE(Has(result.out + result.err, Native(part))) << command;
        }
    }

    // Sealed again where seal fixed it: run refuses what verify finds now.
    void ExpectRunRefuses(const FailureCase& c)
    {
        WriteFile("MassStorage/old.map", "the map the device has now");
        const Snapshot before = Snap("MassStorage");
        ToolResult run = Tool({"run"});
        EXPECT_EQ(run.code, c.runCode) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Has(run.err, "Use --force to run it anyway."));
        for (const std::string& part : c.verifySays.empty() ? c.sealSays : c.verifySays)
            EXPECT_TRUE(Has(run.err, Native(part)));
        EXPECT_EQ(Snap("MassStorage"), before) << "a refused run touches nothing";
    }
};

TEST_P(ToolFailure, ExplainsWithADistinctCode)
{
    const FailureCase& c = GetParam();
    WriteSealedPackage(kPackage);
    folder = Package();
    if (c.setup) c.setup(*this);
    if (IsSkipped() || HasFatalFailure()) return;
    ExpectEachCommandSays(c);
    if (c.runCode >= 0 && folder == Package()) ExpectRunRefuses(c);
}

#if defined(_WIN32)
// A card the build host made below PELK_HOST_CARDS (tools/tests/CMakeLists.txt):
// names that no Windows program writes, as Win32 opens them otherwise.
void OnAHostCard(ToolFailure& test, const char* card)
{
    const char* cards = getenv("PELK_HOST_CARDS");
    if (!cards) GTEST_SKIP() << "PELK_HOST_CARDS names no folder of cards the build host made";
    test.folder = (U8Path(cards) / card / "SDMMC" / "PreDLMap").u8string();
}
#endif

// "SDMMC\PreDLMap\" is 15 units: a 125-unit folder name below the 120-unit
// one passes 259, and so does a 124-unit file name.
const std::string kDeep = "SDMMC/PreDLMap/" + std::string(120, 'a') + "/";

const std::vector<std::string> kCaseClashSays = {"Poi/FUEL.csv", "Poi/fuel.csv", "differ only in letter case"};
const std::vector<std::string> kBeyondAsciiSays = {"Poi/\xC3\x9C" "ber.txt", "Poi/\xC3\xBC" "ber.txt",
                                                   "differ only in letter case"};
// One line per name, each reason in it; never opened, never summed.
const std::vector<std::string> kDeviceNamesSay = {"nul.txt: a card cannot hold this name: it is the device name NUL,",
                                                  "Map/CON: a card cannot hold this name: it is the device name CON,",
                                                  "Map/com1.Map: a card cannot hold this name: it is the device name COM1,"};

const std::vector<FailureCase> kFailureCases = {
    {"MissingFolder", [](ToolFailure& t) { t.folder += "/nowhere"; }, 66, 66,
     {"cannot open the package folder ", "nowhere: " + SystemSays(kFileNotFound, "No such file or directory")}},
    {"PackageIsAFile", [](ToolFailure& t) { t.folder += "/Poi/fuel.csv"; }, 66, 66,
     {"cannot open the package folder ", "fuel.csv: " + SystemSays(kNotAFolder, "Not a directory")}},
    {"DeviceRoot", [](ToolFailure& t) { t.folder = t.Root().u8string(); }, 64, 64,
     {"is a device root", "/SDMMC/PreDLMap", "pelk-mapcopy seal --force"},
     {"is a device root", "/SDMMC/PreDLMap", "pelk-mapcopy verify --force"}},
    {"ChecksumIsAFolder",
     [](ToolFailure& t) {
         t.RemoveTree("SDMMC/PreDLMap/checksum.ini");
         t.MakeFolder("SDMMC/PreDLMap/checksum.ini");
     },
     74, 6, {"cannot write ", "checksum.ini: " + SystemSays(kAccessDenied, "Is a directory")},
     {"checksum.ini is a folder"}},
    {"FolderTooLong", [](ToolFailure& t) { t.MakeFolder(kDeep + std::string(125, 'b')); }, 65, 3,
     {"bbbb: its search pattern", "265 UTF-16 units"},
     {"bbbb: its search pattern", "265 UTF-16 units", "3 STATUS_CREATE_DIR_FAILED"}, 64},
    {"FileTooLong", [](ToolFailure& t) { t.WriteFile(kDeep + std::string(124, 'c'), ""); }, 65, 5,
     {"cccc: its path", "260 UTF-16 units"}, {"cccc: its path", "260 UTF-16 units", "5 STATUS_COPY_FAILED"}, 64},
    {"FileTooLongEvenBelowThePackage", [](ToolFailure& t) { t.WriteFile(kDeep + std::string(140, 'd'), ""); }, 65,
     5, {"dddd: its path", "276 UTF-16 units"}, {"dddd: its path", "276 UTF-16 units", "5 STATUS_COPY_FAILED"}},
#if defined(_WIN32)
    {"LetterCaseClash", [](ToolFailure& t) { OnAHostCard(t, "case-clash"); }, 65, 65, kCaseClashSays},
    {"LetterCaseClashBeyondAscii", [](ToolFailure& t) { OnAHostCard(t, "case-clash"); }, 65, 65, kBeyondAsciiSays},
    {"DeviceNames", [](ToolFailure& t) { OnAHostCard(t, "device-names"); }, 65, 65, kDeviceNamesSay},
#else
    {"LetterCaseClash", [](ToolFailure& t) { t.WriteFile("SDMMC/PreDLMap/Poi/FUEL.csv", "x"); }, 65, 65,
     kCaseClashSays, {}, 64},
    {"LetterCaseClashBeyondAscii",
     [](ToolFailure& t) {
         t.WriteFile("SDMMC/PreDLMap/Poi/\xC3\x9C" "ber.txt", "x");
         t.WriteFile("SDMMC/PreDLMap/Poi/\xC3\xBC" "ber.txt", "y");
     },
     65, 65, kBeyondAsciiSays},
    {"DeviceNames",
     [](ToolFailure& t) {
         for (const char* name : {"nul.txt", "Map/CON", "Map/com1.Map"}) t.WriteFile("SDMMC/PreDLMap/" + std::string(name), "x");
     },
     65, 65, kDeviceNamesSay, {}, 64},
#endif
    {"TrailingDot", [](ToolFailure& t) { t.MakeFolder("SDMMC/PreDLMap/Map/old."); }, 65, 65,
     {"Map/old.: ", "ends in a dot"}, {}, 64},
    // No write permission bit at all: the read-only attribute, as FAT has it.
    {"ReadOnlyFile", [](ToolFailure& t) { t.SetReadOnly("SDMMC/PreDLMap/PreDLVerno.ini", true); }, 65, 65,
     {"PreDLVerno.ini: read-only", "1 STATUS_DELETE_FAILED"}, {}, 64},
    // Mixed case takes a long name: two entries each. Upper-case 8.3
    // names take one, so 300 of them fit.
    {"RootOverFat16Entries",
     [](ToolFailure& t) {
         for (int i = 0; i < 256; ++i) t.WriteFile("SDMMC/PreDLMap/Tile" + std::to_string(1000 + i) + ".map", "x");
     },
     65, 65, {"the package's root (MassStorage on the device): ", "520 FAT directory entries", "512 of a FAT16"}, {}, 64},
    // 300 one-entry names and 8 more: no finding, so seal writes the sum.
    {"UpperCaseShortNamesTakeOneEntry",
     [](ToolFailure& t) {
         for (int i = 0; i < 300; ++i) t.WriteFile("SDMMC/PreDLMap/T" + std::to_string(1000 + i) + ".MAP", "x");
     },
     0, 6, {"package sum ", "written to "}, {"MISMATCH: the device's job would end with 6"}},
    // seal mends these, so run meets a sealed package after them.
    {"ChecksumEmpty", [](ToolFailure& t) { t.WriteChecksumFile(""); }, 0, 6, {"written to "},
     {"checksum.ini holds no number the device can read: it is empty", "MISMATCH"}},
    {"ChecksumText", [](ToolFailure& t) { t.WriteChecksumFile("[Checksum]\r\nSum=1A2B\r\n"); }, 0, 6,
     {"written to "}, {"checksum.ini holds no number the device can read: it begins with \"[Checksum]\""}},
    {"ChecksumUtf8Mark", [](ToolFailure& t) { t.WriteChecksumFile("\xEF\xBB\xBF" "1A2B\r\n"); }, 0, 6,
     {"written to "}, {"checksum.ini holds no number the device can read: it begins with a UTF-8 byte-order mark"}},
    {"ChecksumUtf16", [](ToolFailure& t) { t.WriteChecksumFile(std::string("\xFF\xFE" "1\0A\0" "2\0B\0", 10)); }, 0,
     6, {"written to "}, {"checksum.ini holds no number the device can read: it is UTF-16 text with a byte-order mark"}},
    {"ChecksumUtf16WithoutMark", [](ToolFailure& t) { t.WriteChecksumFile(std::string("1\0A\0" "2\0B\0", 8)); }, 0,
     6, {"written to "},
     {"it is UTF-16 text without a byte-order mark", "stops at a zero byte, byte 2 of the file", "reads 0001 (",
      "MISMATCH"}},
    // Zero bytes before the number are no UTF-16 text: said as what they are.
    {"ChecksumLeadingNuls", [](ToolFailure& t) { t.WriteChecksumFile(std::string("\0\0\0\0" "1A2B\r\n", 10)); }, 0,
     6, {"written to "}, {"it begins with 4 NUL bytes", "the device reads 0 (", "MISMATCH"}},
    // "c" is a hexadecimal digit: the device reads 000C.
    {"ChecksumAsKeyAndValue", [](ToolFailure& t) { t.WriteChecksumFile("checksum=2F4F\r\n"); }, 0, 6,
     {"written to "}, {"checksum.ini 000C (low 16 bits 000C): the device reads \"c\" and stops at \"h\"", "MISMATCH"}},
#ifndef _WIN32
    // What only the Linux host makes: FIFOs, links, and names that Win32
    // refuses or reads otherwise (":" names a stream, control characters
    // are refused).
    {"Fifo", [](ToolFailure& t) { ASSERT_EQ(mkfifo((t.Root() / "SDMMC/PreDLMap/Poi/pipe").c_str(), 0600), 0); },
     65, 65, {"Poi/pipe: ", "(a FIFO), not opened"}, {}, 64},
    {"Device",
     [](ToolFailure& t) {
         if (mknod((t.Root() / "SDMMC/PreDLMap/Poi/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
             GTEST_SKIP() << "cannot make a device node here: " << strerror(errno);
     },
     65, 65, {"Poi/null: ", "(a device), not opened"}, {}, 64},
    {"NotUtf8", [](ToolFailure& t) { t.WriteFile("SDMMC/PreDLMap/Poi/caf\xE9.csv", "Latin-1, not UTF-8"); }, 65,
     65, {"Poi/caf\\xE9.csv: ", "not valid UTF-8"}, {}, 64},
    {"AnotherFileSystem",
     [](ToolFailure& t) {
         std::string why;
         if (!t.Mount("SDMMC/PreDLMap/Map/mounted", "tmpfs", "tmpfs", 0, "size=64k", &why))
             GTEST_SKIP() << "cannot mount a tmpfs here (" << why << ")";
         t.WriteFile("SDMMC/PreDLMap/Map/mounted/a:b.map", "not walked, so no finding");
     },
     65, 65, {"Map/mounted: ", "another file system (a mount point), not walked"}, {}, 64},
    {"LinkToFolder",
     [](ToolFailure& t) { fs::create_directory_symlink(t.Root() / "SDMMC", t.Root() / "SDMMC/PreDLMap/Poi/up"); },
     65, 65, {"Poi/up: a symbolic link", "would fail to copy it (5)"}},
    {"LinkOutOfThePackage",
     [](ToolFailure& t) {
         t.WriteFile("elsewhere/linked.bin", "not in the package");
         fs::create_symlink(t.Root() / "elsewhere/linked.bin", t.Root() / "SDMMC/PreDLMap/Poi/linked.bin");
     },
     65, 65, {"Poi/linked.bin: a symbolic link"}, {}, 64},
    {"Colon", [](ToolFailure& t) { t.WriteFile("SDMMC/PreDLMap/Map/a:b.map", "x"); }, 65, 65,
     {"Map/a:b.map: ", "it holds \":\""}},
    {"ControlCharacter", [](ToolFailure& t) { t.WriteFile("SDMMC/PreDLMap/Map/a\tb.map", "x"); }, 65, 65,
     {"Map/a\\x09b.map: ", "a control character"}},
    // Wine reads a name with "~" as a short name of its own making.
    {"ShortNameClash",
     [](ToolFailure& t) {
         t.WriteFile("SDMMC/PreDLMap/Map/LongFileName.txt", "x");
         t.WriteFile("SDMMC/PreDLMap/Map/LONGFI~1.TXT", "y");
     },
     65, 65, {"Map/LONGFI~1.TXT and Map/LongFileName.txt: ", "the short name of the first"}, {}, 64},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, ToolFailure, ::testing::ValuesIn(kFailureCases),
                         ByName());

// ---- run ---------------------------------------------------------------

TEST_F(ToolTest, RunInstallsThePackageOverStaleContent)
{
    WritePackage(kPackage);
    ASSERT_EQ(Tool({"seal", Package()}).code, 0);
    WriteFile("MassStorage/old.bin", "stale");
    WriteFile("MassStorage/Map/Europe/DE.map", "old tile");
    const fs::path elsewhere = Root() / "elsewhere";
    fs::create_directories(elsewhere);

    ToolResult run = Tool({"run", "--device-root", Root().u8string()}, elsewhere);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out.rfind("0 STATUS_OK: ", 0), 0u) << run.out;
    // Seven copied, four summed: checksum.ini, CHECKSUM.INI and PreDLVerno.ini never count.
    EXPECT_TRUE(Has(run.out, "MassStorage holds 7 files ("));
    EXPECT_TRUE(Has(run.out, "), 4 of them summed\n3 files are copied but not summed"));
    // Off a terminal: one plain line as each phase begins, in order, and no
    // escape sequence or carriage return to redraw one.
    size_t at = 0;
    for (const char* line : {"listing the package and MassStorage\n", "checking the package: 0/7 files 0 bytes of ",
                             "counting what MassStorage holds\n", "clearing MassStorage: 2 old files left\n",
                             "the job has ended: checking MassStorage against the package\n"}) {
        at = run.err.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << " not in order in:\n" << run.err;
    }
    EXPECT_EQ(run.err.find_first_of("\r\033"), std::string::npos) << run.err;
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(ToolTest, RunRefusesAMissingPackageAndLeavesTheTargetAlone)
{
    WriteFile("MassStorage/keep.bin", "still here");
    const Snapshot before = Snap("MassStorage");
    ToolResult refused = Tool({"run"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_TRUE(Has(refused.err, Native("SDMMC/PreDLMap is missing")));
    EXPECT_EQ(refused.err.find("--force"), std::string::npos) << "forcing it only empties MassStorage: " << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(Snap("MassStorage"), before);

    ToolResult forced = Tool({"run", "--force"});
    EXPECT_EQ(forced.code, 4);
    EXPECT_EQ(forced.out.rfind("4 STATUS_SOURCE_MISSING: a package folder is missing\n", 0), 0u) << forced.out;
    EXPECT_TRUE(Has(forced.out, Native("first difference: the package folder SDMMC/PreDLMap is missing")));
    EXPECT_FALSE(Exists("MassStorage/keep.bin"));
}

// What run says MassStorage is: refused before the job, and reported after
// it, as what is there; never a file for a link, never empty while
// anything is left. Each row makes MassStorage (setup).
class ToolTarget;

struct TargetCase {
    const char* name;
    void (*setup)(ToolTarget& test);
    int runCode;
    std::string runSays; // on stderr when refused (64), else on stdout
    int forcedCode;      // run --force; -1 not tried
    std::string forcedSays;
};

class ToolTarget : public ToolTest, public ::testing::WithParamInterface<TargetCase> {
public:
    using ToolTest::Root;
    using ToolTest::WriteFile;
};

TEST_P(ToolTarget, SaysWhatMassStorageIs)
{
    const TargetCase& c = GetParam();
    WriteSealedPackage(kPackage);
    c.setup(*this);
    if (HasFatalFailure()) return;
    const Snapshot elsewhere = Snap("elsewhere");
    ToolResult run = Tool({"run"});
    EXPECT_EQ(run.code, c.runCode) << run.out << run.err;
    EXPECT_TRUE(Has(run.code == 64 ? run.err : run.out, c.runSays));
    EXPECT_EQ(run.out.find("MassStorage is empty"), std::string::npos) << run.out;
    if (c.forcedCode >= 0) {
        ToolResult forced = Tool({"run", "--force"});
        EXPECT_EQ(forced.code, c.forcedCode) << forced.out;
        EXPECT_TRUE(Has(forced.out, c.forcedSays));
    }
    EXPECT_EQ(Snap("elsewhere"), elsewhere) << "the job never follows a link";
}

// The refusal names the code the forced job then ends with: Win32 calls a
// listing of a file failed (1), the host layer finds nothing there and the
// copy fails (5).
#if defined(_WIN32)
const int kFileInTheWay = STATUS_DELETE_FAILED;
const char kFileInTheWayName[] = "would end with 1 STATUS_DELETE_FAILED";
#else
const int kFileInTheWay = STATUS_COPY_FAILED;
const char kFileInTheWayName[] = "would end with 5 STATUS_COPY_FAILED";
#endif

const TargetCase kTargetCases[] = {
    {"File", [](ToolTarget& t) { t.WriteFile("MassStorage", "a file where the folder should be"); }, 64,
     std::string(" is a file, not a folder\nThe job cannot clear it or copy into it and ") + kFileInTheWayName,
     kFileInTheWay, "\nMassStorage is a file, not a folder\n"},
#ifndef _WIN32
    {"Link",
     [](ToolTarget& t) {
         t.WriteFile("elsewhere/keep.map", "never followed");
         fs::create_directory_symlink(t.Root() / "elsewhere", t.Root() / "MassStorage");
     },
     64, " is a symbolic link, not a folder\nThe job cannot clear it or copy into it and would end with 5", 5,
     "\nMassStorage is a symbolic link, not a folder\n"},
    // MassStorage and 123 levels of "\d", then "\*.*": 261 units.
    {"TooDeepToClear",
     [](ToolTarget& t) {
         // A level at a time: create_directories gives up on so many levels.
         fs::path deep = t.Root() / "MassStorage";
         for (int i = 0; i <= 1000; ++i, deep /= "d") ASSERT_TRUE(fs::create_directory(deep)) << i;
         std::ofstream(deep.parent_path() / "old.map", std::ios::binary) << "left";
     },
     2, "\nMassStorage holds 1,001 entries (1,000 folders and 1 file, 4 bytes); the device's paths reach only part of "
        "them: the folder 123 levels down",
     -1, ""},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, ToolTarget, ::testing::ValuesIn(kTargetCases), ByName());

#ifndef _WIN32
TEST_F(ToolTest, APackageBehindALinkIsNoPackageToTheJob)
{
    // The job follows no link: a linked SDMMC or PreDLMap holds no package
    // for it, and run --force would empty MassStorage and end with 4.
    WritePackage(kPackage);
    ASSERT_EQ(Tool({"seal", Package()}).code, 0);
    fs::rename(Root() / "SDMMC", Root() / "real");
    WriteFile("MassStorage/keep.bin", "still here");
    const Snapshot before = Snap("MassStorage");
    for (const char* linked : {"SDMMC", "SDMMC/PreDLMap"}) {
        RemoveTree("SDMMC");
        if (std::string(linked) == "SDMMC") {
            fs::create_directory_symlink(Root() / "real", Root() / "SDMMC");
        } else {
            MakeFolder("SDMMC");
            fs::create_directory_symlink(Root() / "real/PreDLMap", Root() / "SDMMC/PreDLMap");
        }
        ToolResult verified = Tool({"verify", Package()});
        EXPECT_EQ(verified.code, 4) << linked << ": " << verified.out << verified.err;
        EXPECT_TRUE(Has(verified.err, (Root() / linked).u8string() + " is a symbolic link"));
        EXPECT_TRUE(Has(verified.err, "on the device it finds no package there"));
        ToolResult run = Tool({"run"});
        EXPECT_EQ(run.code, 64) << run.err;
        EXPECT_TRUE(Has(run.err, std::string(": ") + linked + " is a symbolic link, and the job never follows links"));
        EXPECT_EQ(Snap("MassStorage"), before) << linked;
    }
}

#endif

// Never a walk of a whole volume (on Linux, of the whole machine).
TEST_F(ToolTest, VerifyRefusesTheRootOfAFileSystemAtOnce)
{
    const fs::path volume = Root().root_path();
    ToolResult verified = Tool({"verify", volume.u8string()});
    EXPECT_EQ(verified.code, 64) << verified.out;
    EXPECT_EQ(verified.out, "");
    EXPECT_TRUE(Has(verified.err, volume.u8string() + " is the root of a file system, not a package folder"));
    EXPECT_TRUE(Has(verified.err, (volume / "SDMMC" / "PreDLMap").u8string()));
}

TEST_F(ToolTest, RunReportsTheJobsFailureAsItsExitCode)
{
    WriteSealedPackage(kPackage, 1);
    ToolResult run = Tool({"run", "--force"});
    EXPECT_EQ(run.code, 6);
    EXPECT_EQ(run.out.rfind("6 STATUS_CHECKSUM_FAILED: ", 0), 0u) << run.out;
    EXPECT_TRUE(Has(run.out, "first difference: none"));
}

#ifndef _WIN32
class ToolSmallVolumeTest : public ToolTest {};

TEST_F(ToolSmallVolumeTest, RunRefusesAPackageLargerThanTheVolumeAndNamesWhereTheForcedJobStopped)
{
    std::string why;
    if (!Mount("MassStorage", "tmpfs", "tmpfs", 0, "size=64k", &why))
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << why << "); needs root and mount rights";
    // What MassStorage holds counts as free: 40 KiB of old map plus 24 KiB
    // free take a 56 KiB package, not a 68 KiB one.
    WriteFile("MassStorage/old.map", PatternBytes(40 * 1024, 3));
    WriteSealedPackage({{"a.map", PatternBytes(28 * 1024, 1)}, {"b.map", PatternBytes(28 * 1024, 2)}});
    ToolResult fits = Tool({"run"});
    EXPECT_EQ(fits.code, 0) << fits.err;

    WriteSealedPackage({{"a.map", PatternBytes(28 * 1024, 1)}, {"b.map", PatternBytes(28 * 1024, 2)},
                        {"c.map", PatternBytes(12 * 1024, 4)}});
    const Snapshot before = Snap("MassStorage");
    ToolResult refused = Tool({"run"});
    EXPECT_EQ(refused.code, 64);
    // In the volume's 4 KiB clusters: three files, checksum.ini and the folder's entries.
    EXPECT_TRUE(Has(refused.err, "the package (76.0 KiB in clusters of 4.0 KiB) does not fit on the volume holding "
                               "MassStorage (68.0 KiB free, counting what MassStorage holds now): 8.0 KiB more"));
    EXPECT_EQ(Snap("MassStorage"), before);

    ToolResult forced = Tool({"run", "--force"});
    EXPECT_EQ(forced.code, 5) << forced.out;
    EXPECT_TRUE(Has(forced.out, "first difference: SDMMC/PreDLMap/"));
    EXPECT_TRUE(Has(forced.out, " is not in MassStorage"));
}
#endif

#ifndef _WIN32
// A real FAT16 volume through the FUSE driver fusefat (fusefat and
// dosfstools, which CI installs): MassStorage and the package on it, as on
// a card. Every step is bounded, and the volume is unmounted and checked
// with fsck.fat in every case. The driver corrupts a file it overwrites, so
// nothing here is written twice.
class ToolFatVolumeTest : public ToolTest {
protected:
    void TearDown() override
    {
        if (card_) card_->UnmountAndCheck();
        ToolTest::TearDown();
    }

    fs::path Mounted() const { return Root() / "card"; }

    // A 64 MiB FAT16 volume with 2 KiB clusters, mounted at card/.
    void MountCard()
    {
        fs::create_directories(Mounted());
        card_.emplace(Root() / "card.img", Mounted());
        card_->Mount("64M", "-F 16 -s 4");
    }

private:
    std::optional<FatImage> card_;
};

TEST_F(ToolFatVolumeTest, RunCountsWholeClustersAndRefusesWhatTheBytesAloneWouldPass)
{
    ASSERT_NO_FATAL_FAILURE(MountCard());
    if (IsSkipped()) return;
    // 100 files of 100 bytes: 10 KB of bytes, but 200 KiB in 2 KiB clusters.
    for (int i = 0; i < 100; ++i) WriteFile("package/Poi/p" + std::to_string(i) + ".txt", PatternBytes(100, i));
    ASSERT_EQ(Tool({"seal", (Root() / "package").u8string()}).code, 0);
    const std::string card = Mounted().string();
    ASSERT_EQ(Shell("timeout 60 mkdir -p '" + card + "/SDMMC/PreDLMap' '" + card + "/MassStorage' && timeout 120 cp -r '" +
                    (Root() / "package").string() + "/.' '" + card + "/SDMMC/PreDLMap/'"),
              0);
    // Beside MassStorage on the same volume: 100 KiB stay free.
    const fs::space_info space = fs::space(Mounted());
    ASSERT_GT(space.available, 200u * 1024);
    ASSERT_EQ(Shell("timeout 120 head -c " + std::to_string(space.available - 100 * 1024) + " /dev/zero > '" + card +
                    "/filler.bin'"),
              0);
    ToolResult refused = Tool({"run", "--device-root", Mounted().u8string()});
    EXPECT_EQ(refused.code, 64) << refused.out << refused.err;
    // The empty MassStorage's own cluster counts as free: the job removes it.
    EXPECT_TRUE(Has(refused.err, "the package (208.0 KiB in clusters of 2.0 KiB) does not fit on the volume holding "
                               "MassStorage (102.0 KiB free, counting what MassStorage holds now): 106.0 KiB more "
                               "must be freed on it\n"));
    EXPECT_EQ(refused.err.find("--force"), std::string::npos) << "forcing it only empties MassStorage";
    EXPECT_TRUE(fs::is_empty(Mounted() / "MassStorage"));
}

// On FAT a copy keeps its source's times: counts from file times said 0.
// The stand-in module empties MassStorage (which held the same package:
// its names and sizes say nothing of progress), copies the first 20 files
// as the device does, keeping their times, and waits for the signal.
TEST_F(ToolFatVolumeTest, AnInterruptedRunCountsTheCopiesOnFatByNamesAndSizes)
{
    ASSERT_NO_FATAL_FAILURE(MountCard());
    if (IsSkipped()) return;
    for (size_t i = 0; i < 120; ++i)
        WriteFile("package/Map/t" + std::to_string(i) + ".map", PatternBytes(64 * 1024, static_cast<unsigned>(i)));
    ASSERT_EQ(Tool({"seal", (Root() / "package").u8string()}).code, 0);
    const std::string card = Mounted().string();
    ASSERT_EQ(Shell("timeout 60 mkdir -p '" + card + "/SDMMC/PreDLMap' '" + card + "/MassStorage' && timeout 120 cp -r '" +
                    (Root() / "package").string() + "/.' '" + card + "/SDMMC/PreDLMap/' && timeout 120 cp -r '" +
                    (Root() / "package").string() + "/.' '" + card + "/MassStorage/'"),
              0);
    WriteFile("stand-in.copies", "20");
    HeldJob held(Root()); // no FIFO on FAT: the control files stay here
    setenv("PELK_STAND_IN", Root().c_str(), 1);
    const pid_t child =
        Spawn({"run", "--device-root", card, "--library", kStandInPath}, Root(), Root() / ".tool-out", Root() / ".tool-err");
    unsetenv("PELK_STAND_IN");
    ASSERT_TRUE(held.Reached()) << Slurp(Root() / ".tool-err");
    EXPECT_EQ(kill(child, SIGINT), 0);
    EXPECT_EQ(Reaped(child), 130);
    EXPECT_TRUE(Has(Slurp(Root() / ".tool-err"), "pelk-mapcopy: interrupted (SIGINT): MassStorage is incomplete, 20 files ("));
    EXPECT_TRUE(Has(Slurp(Root() / ".tool-err"), " of 121 (7.5 MiB) copied so far"));
}

// Signals sent from the test at a moment of the run the test chose. Host
// only: Wine gives a console program no console events from another process
// here.
enum class Moment {
    Copying,  // the stand-in module has copied the package's first 20 files
    Checking, // the checks before the job open the first tile
    Reporting // the job has failed, and the report reads the package again
};

struct InterruptCase {
    const char* name;
    int signal;
    int code;
    Moment moment;
    const char* said; // the last line on stderr, after "pelk-mapcopy: interrupted (SIGNAL)"
    const char* progress; // a plain progress line on stderr before it, if any
};


// In a run forked from the test: a tile opened by the checks says so
// through the FIFO stand-in.moment in the device root, and waits for the
// signal there (the interrupt's thread reports it and ends the process).
int OpenThenAwaitTheSignal(tool::Handle folder, const fs::path& name, tool::OpenAs as, tool::Handle* opened)
{
    if (name.extension() != ".map") return tool::kFileCalls.open(folder, name, as, opened);
    const int moment = open("stand-in.moment", O_WRONLY | O_CLOEXEC);
    if (moment >= 0) {
        (void)!write(moment, "!", 1);
        close(moment);
    }
    for (;;) pause();
}

class ToolInterrupt : public ToolTest, public ::testing::WithParamInterface<InterruptCase> {
protected:
    // The run in this program's child, its file calls' open the test's.
    pid_t Forked(const std::vector<std::string>& arguments, const fs::path& out, const fs::path& err)
    {
        return ForkMain(arguments, out.string(), err.string(), [] { tool::g_fileCalls.open = OpenThenAwaitTheSignal; });
    }
};

// The moment is the test's own, reached through the FIFO: the stand-in
// module empties MassStorage, copies the package's first 20 files, says so
// and waits; or the run's checks say so as they open a tile. So the count
// the tool gives is known exactly.
TEST_P(ToolInterrupt, SaysWhatMassStorageHoldsAndExitsAsTheSignalSays)
{
    const InterruptCase& c = GetParam();
    std::vector<PackageFile> files;
    for (unsigned i = 0; i < 48; ++i) files.push_back({"Map/t" + std::to_string(i) + ".map", PatternBytes(2 << 20, i)});
    WriteSealedPackage(files);
    if (c.moment == Moment::Reporting) WriteFile("SDMMC/PreDLMap/checksum.ini", "0\r\n");
    WriteFile("MassStorage/old.map", "the map the device has now");
    WriteFile("stand-in.copies", "20");
    HeldJob held(Root());
    const fs::path out = Root() / ".tool-out";
    const fs::path err = Root() / ".tool-err";
    const std::vector<std::string> root = {"--device-root", Root().u8string()};
    pid_t child = -1;
    if (c.moment == Moment::Copying) child = Spawn({"run", "--force", "--library", kStandInPath}, Root(), out, err);
    if (c.moment == Moment::Checking) child = Forked({"run", root[0], root[1], "--library", kStandInPath}, out, err);
    if (c.moment == Moment::Reporting)
        child = Forked({"run", root[0], root[1], "--force", "--library", kModulePath}, out, err);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(held.Reached()) << Slurp(err);
    EXPECT_EQ(kill(child, c.signal), 0);
    EXPECT_EQ(Reaped(child), c.code) << "the tool died of the signal, or exited otherwise";
    const std::string said = Slurp(err);
    EXPECT_EQ(Slurp(out).find("STATUS_"), std::string::npos) << "no job summary after an interrupt";
    const std::string signal = c.signal == SIGINT ? "SIGINT" : "SIGTERM";
    const std::string last = "pelk-mapcopy: interrupted (" + signal + ")" + c.said;
    ASSERT_GE(said.size(), last.size()) << said;
    EXPECT_EQ(said.substr(said.size() - last.size()), last) << said;
    if (c.progress) {
        EXPECT_TRUE(Has(said, c.progress));
    }
    EXPECT_EQ(Exists("MassStorage/old.map"), c.moment == Moment::Checking) << "only the checks leave it as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolInterrupt,
    ::testing::Values(
        InterruptCase{"SIGINT", SIGINT, 130, Moment::Copying,
                      ": MassStorage is incomplete, 20 files (40.0 MiB) of 49 (96.0 MiB) copied so far, so the device "
                      "would have no usable map; pelk-mapcopy run again installs it\n",
                      nullptr},
        InterruptCase{"SIGTERM", SIGTERM, 143, Moment::Copying,
                      ": MassStorage is incomplete, 20 files (40.0 MiB) of 49 (96.0 MiB) copied so far, so the device "
                      "would have no usable map; pelk-mapcopy run again installs it\n",
                      nullptr},
        InterruptCase{"SIGINTWhileChecking", SIGINT, 130, Moment::Checking,
                      " while run was checking the package and MassStorage, before the job began, so nothing was "
                      "changed: MassStorage holds 1 file (26 bytes); pelk-mapcopy run installs the package\n",
                      "checking the package: 0/49 files 0 bytes of 96.0 MiB\n"},
        InterruptCase{"SIGTERMWhileReporting", SIGTERM, 143, Moment::Reporting,
                      " after the job ended with 6 STATUS_CHECKSUM_FAILED, before its report: MassStorage holds 49 "
                      "files (96.0 MiB); pelk-mapcopy run again checks and installs the package\n",
                      "the job has ended: checking MassStorage against the package\n"}),
    ByName());
#endif

TEST_F(ToolTest, OneRunAtATimeHoldsTheDeviceRootAndAZeroIsCheckedAgainstMassStorage)
{
    WriteSealedPackage(kPackage);
    WriteFile("MassStorage/old.map", "the map the device has now");
    HeldJob held(Root());
    const fs::path out = Root() / ".first-out";
    const fs::path err = Root() / ".first-err";
    const Running first = Launch({"run", "--library", kStandInPath}, Root(), out, err);
    ASSERT_TRUE(held.Reached()) << Slurp(err);
    const Snapshot before = Snap("MassStorage");
    ToolResult second = Tool({"run"});
    EXPECT_EQ(second.code, 75) << second.out << second.err;
    EXPECT_TRUE(Has(second.err, "another pelk-mapcopy run (pid " + std::to_string(first.pid) + ") is using " +
                              Root().u8string() + "; run again once it has ended"));
    EXPECT_EQ(second.out, "");
    // seal writes the same card, and takes its lock (the folder holding the
    // package) as write does: it waits its turn too.
    const std::string checksum = ReadFile("SDMMC/PreDLMap/checksum.ini");
    WriteFile("SDMMC/PreDLMap/Poi/new.csv", "changed while the run holds the card");
    ToolResult sealed = Tool({"seal", Package()});
    EXPECT_EQ(sealed.code, 75) << sealed.out << sealed.err;
    EXPECT_TRUE(Has(sealed.err, "another pelk-mapcopy run (pid " + std::to_string(first.pid) + ") is using " +
                              (Root() / "SDMMC").u8string() + ";"));
    EXPECT_EQ(ReadFile("SDMMC/PreDLMap/checksum.ini"), checksum);
    RemoveTree("SDMMC/PreDLMap/Poi/new.csv");
    // So does a write to its card.
    fs::create_directories(Root() / "other");
    fs::copy(Root() / "SDMMC" / "PreDLMap", Root() / "other" / "PreDLMap", fs::copy_options::recursive);
    ASSERT_EQ(Tool({"seal", (Root() / "other" / "PreDLMap").u8string()}).code, 0);
    const ToolResult written = Tool({"write", (Root() / "other" / "PreDLMap").u8string(), (Root() / "SDMMC").u8string()});
    EXPECT_EQ(written.code, 75) << written.out << written.err;
    EXPECT_TRUE(Has(written.out, "another pelk-mapcopy run (pid " + std::to_string(first.pid) + ") is using"));
    EXPECT_EQ(Snap("MassStorage"), before) << "a refused run touches nothing";
    held.Release();
    // The stand-in copied nothing and returned 0: not installed.
    const ToolResult firstResult = Await(first);
    const std::string said = Lines(Slurp(out));
    EXPECT_EQ(firstResult.code, 70) << said;
    EXPECT_EQ(said.rfind("NOT INSTALLED: the job returned 0 STATUS_OK, but MassStorage does not hold the package\n", 0),
              0u)
        << said;
    EXPECT_TRUE(Has(said, "first difference: "));
    EXPECT_EQ(said.find("STATUS_OK: the package was installed"), std::string::npos) << said;
    // Once the first has ended the device root is free again.
    ToolResult third = Tool({"run"});
    EXPECT_EQ(third.code, 0) << third.out << third.err;
}

// A module that loads but lacks the exports: the C library, or Windows' kernel.
std::string ModuleWithoutTheExports()
{
#if defined(_WIN32)
    wchar_t path[MAX_PATH];
    const DWORD units = GetModuleFileNameW(GetModuleHandleW(L"kernel32.dll"), path, MAX_PATH);
    return fs::path(std::wstring(path, units)).u8string();
#else
    Dl_info libc;
    if (dladdr(reinterpret_cast<void*>(&printf), &libc) == 0) return std::string();
    return libc.dli_fname;
#endif
}

TEST_F(ToolTest, RunLoadsTheModuleGivenAndFailsClearlyWithoutOne)
{
    WriteSealedPackage(kPackage);
    EXPECT_EQ(Tool({"run", "--library", kModulePath}).code, 0);
    // A relative name is a file in the current directory, not in the device.
    const fs::path elsewhere = Root() / "elsewhere";
    fs::create_directories(elsewhere);
    const fs::path copy = fs::path("module") += U8Path(kModulePath).extension();
    fs::copy_file(U8Path(kModulePath), elsewhere / copy);
    EXPECT_EQ(Tool({"run", "--library", copy.u8string(), "--device-root", Root().u8string()}, elsewhere).code, 0);
    WriteFile("MassStorage/extra.bin", "a job would delete this");
    const Snapshot before = Snap("MassStorage");
    ToolResult missing = Tool({"run", "--library", (Root() / "none" += copy.extension()).u8string()});
    EXPECT_EQ(missing.code, 69);
    EXPECT_TRUE(Has(missing.err, "cannot load the module"));
    const std::string noExports = ModuleWithoutTheExports();
    ASSERT_NE(noExports, "");
    ToolResult wrong = Tool({"run", "--library", noExports});
    EXPECT_EQ(wrong.code, 69);
    EXPECT_TRUE(Has(wrong.err, "does not export PELK_UserMapCopy_CopyFiles"));
    EXPECT_EQ(Snap("MassStorage"), before) << "no job may run without the module";
}

} // namespace
