// The file operations and the fee report as Windows gives them their input: drive letters,
// backslashes, devices, pipes and the ANSI code page 932.
#include "fee_report.h"
#include "files.h"
#include "native_replace_windows.h"
#include "scratch.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <aclapi.h>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <windows.h>
#include <winioctl.h>

namespace miruteka {
namespace {

using testing::readBytes;
using testing::ScratchDir;
using testing::u16;
using testing::WorkingDirectory;
namespace fs = std::filesystem;

// Every byte these tests expect is CP932; under another code page they would fail for the
// wrong reason, so the whole run stops at once instead.
class JapaneseCodePage : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(::GetACP(), 932u)
            << "The ANSI code page must be 932 (Japanese). Under Wine, generate the ja_JP.UTF-8 "
               "locale and run with LC_ALL=ja_JP.UTF-8; on Windows, set the system locale to "
               "Japanese.";
    }
};
[[maybe_unused]] const auto* const codePageCheck
    = ::testing::AddGlobalTestEnvironment(new JapaneseCodePage);

bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

std::vector<std::wstring> names(const fs::path& dir)
{
    std::vector<std::wstring> found;
    for (const auto& entry : fs::directory_iterator(dir))
        found.push_back(entry.path().filename().wstring());
    std::sort(found.begin(), found.end());
    return found;
}

// The worked example's own folder, C:\data, made for the test and removed after it. A folder of
// that name that is already there belongs to someone else and is left alone.
class DataFolder {
public:
    DataFolder() { made_ = fs::create_directory(path); }
    ~DataFolder()
    {
        std::error_code ignored;
        if (made_)
            fs::remove_all(path, ignored);
    }
    DataFolder(const DataFolder&) = delete;
    DataFolder& operator=(const DataFolder&) = delete;

    bool made() const { return made_; }
    static inline const fs::path path { L"C:\\data" };

private:
    bool made_;
};

std::filesystem::path sized(const fs::path& where, std::uintmax_t length)
{
    std::ofstream(where, std::ios::binary).close();
    fs::resize_file(where, length);
    return where;
}

TEST(WindowsFeeReport, WorkedExampleIsSixtySevenBytesInCp932)
{
    DataFolder data;
    if (!data.made())
        GTEST_SKIP() << "C:\\data already exists; the worked example needs it to itself";
    sized(L"C:\\data\\a.bin", 1000);
    sized(L"C:\\data\\b.txt", 300);
    ScratchDir dir;
    const std::vector<std::u16string> paths { u"C:\\data\\a.bin", u"C:\\data\\b.txt" };

    ASSERT_TRUE(SaveFeeReport(u16(dir / "report.txt"), BuildFeeReport(paths, u"0.3")));
    const std::string expected = "C:\\data\\a.bin   2.34\x89\x7E\r\n"
                                 "C:\\data\\b.txt   0.7\x89\x7E\r\n"
                                 "\r\n"
                                 "TOTAL 3.046875\x89\x7E\r\n";
    EXPECT_EQ(expected.size(), 67u);
    EXPECT_EQ(readBytes(dir / "report.txt"), expected);
    EXPECT_EQ(names(dir.path()), std::vector<std::wstring> { L"report.txt" });
}

template <typename String> String slashes(String path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// ASCII letters only, as a path's case is compared.
template <typename String> String upper(String path)
{
    for (auto& c : path)
        if (c >= 'a' && c <= 'z')
            c = static_cast<typename String::value_type>(c - 'a' + 'A');
    return path;
}

TEST(WindowsFeeReport, PathsAreWrittenAsDroppedInTheCodePage)
{
    ScratchDir dir;
    const auto file = u16(dir.file("ミルテカ.bin", 128));
    fs::create_directory(dir / "folder");
    const std::vector<std::u16string> paths { slashes(file), u16(dir / "folder"), u"NUL",
        u16(dir / "missing.bin"), upper(file) };
    ASSERT_TRUE(SaveFeeReport(u16(dir / "r.txt"), BuildFeeReport(paths, u"0.3")));

    const std::string folder = dir.path().string(); // the scratch folder's name is ASCII
    const std::string katakana = "\x83\x7E\x83\x8B\x83\x65\x83\x4A";
    EXPECT_EQ(readBytes(dir / "r.txt"),
        slashes(folder) + "/" + katakana + ".bin   0.3\x89\x7E\r\n" + upper(folder) + "\\"
            + katakana + ".BIN   0.3\x89\x7E\r\n\r\nTOTAL 0.6\x89\x7E\r\n");
}

TEST(WindowsOpenForInput, TakesFilesOnDiskOnly)
{
    ScratchDir dir;
    const std::u16string file = u16(dir.file("a.bin", 1000));
    const std::u16string folder = u16(dir.path());
    ASSERT_EQ(file.substr(1, 2), u":\\"); // a drive letter and backslashes, as Windows gives them
    const std::pair<std::u16string, std::optional<std::int64_t>> cases[] = {
        { file, 1000 },
        { slashes(file), 1000 },
        { upper(file), 1000 }, // names are compared without case
        { u"\\\\?\\" + file, 1000 }, // long-path form
        { folder + u"\\.\\a.bin", 1000 },
        { folder, std::nullopt },
        { folder + u"\\", std::nullopt },
        { folder + u"\\missing.bin", std::nullopt },
        { file + u"\\inside", std::nullopt },
        { u"NUL", std::nullopt },
        { folder + u"\\NUL", std::nullopt }, // the device, in any folder
        { u"CONIN$", std::nullopt },
    };
    for (const auto& [path, length] : cases) {
        EXPECT_EQ(OpenForInput(path, 1), length.has_value()) << fs::path(path);
        EXPECT_EQ(FileLength(1), length) << fs::path(path);
        CloseFile(1);
    }
}

// A sparse file takes no room for its length, on NTFS as on the file systems under Wine.
void makeSparse(const fs::path& where, std::int64_t length)
{
    const HANDLE file = ::CreateFileW(
        where.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    ::DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = length;
    EXPECT_TRUE(::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file));
    ::CloseHandle(file);
}

TEST(WindowsOpenForInput, MeasuresBeyondFourGibibytesFromTheHandle)
{
    ScratchDir dir;
    for (const std::int64_t length : { 0x1'0000'0000LL + 1, 3LL << 30, (1LL << 40) + 1 }) {
        const auto path = dir / std::to_string(length);
        makeSparse(path, length);
        ASSERT_TRUE(OpenForInput(u16(path), 1)) << length;
        EXPECT_EQ(FileLength(1), length);
        CloseFile(1);
    }
}

TEST(WindowsOpenForOutput, ReplacesAFileKeepingItsAttributesAndNothingIsLeftBeside)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << "a much longer old content that must disappear entirely";
    ASSERT_TRUE(
        ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    ASSERT_TRUE(SaveFeeReport(u16(target), u"new"));
    EXPECT_EQ(readBytes(target), "new\r\n");
    // Wine's ReplaceFileW renames without carrying the attributes over.
    if (!underWine()) {
        EXPECT_TRUE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    }
    EXPECT_EQ(names(dir.path()), std::vector<std::wstring> { L"report.txt" });
}

// ReplaceFileW standing in for itself, failing as its documentation says it can. 1175: nothing
// was moved. 1176: the replacement could not take the name; without a backup name the old file
// is gone. 1177: the old file is under another name (the backup's, if one was given) and the
// replacement still under its own.
DWORD forcedReplaceError = 0;
// Where set, the old file moved aside is then held open without sharing, so that it cannot be
// moved back: the handle stays here until the test closes it.
bool holdAside = false;
HANDLE heldAside = INVALID_HANDLE_VALUE;

int failingReplace(const wchar_t* replaced, const wchar_t* replacement, const wchar_t* backup,
    unsigned long, void*, void*)
{
    const std::wstring aside = backup ? backup : std::wstring(replaced) + L"~RF1a2b.TMP";
    if (forcedReplaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT && !backup)
        ::DeleteFileW(replaced);
    if (forcedReplaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        ::MoveFileExW(replaced, aside.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (holdAside)
            heldAside = ::CreateFileW(aside.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    (void)replacement;
    ::SetLastError(forcedReplaceError);
    return FALSE;
}

class ReplaceFails {
public:
    explicit ReplaceFails(DWORD error)
        : previous_(native::replaceFile)
    {
        forcedReplaceError = error;
        native::replaceFile = failingReplace;
    }
    ~ReplaceFails() { native::replaceFile = previous_; }
    ReplaceFails(const ReplaceFails&) = delete;
    ReplaceFails& operator=(const ReplaceFails&) = delete;

private:
    native::ReplaceFileFunction previous_;
};

// However ReplaceFileW fails, the old report is there under its name afterwards, whole, and
// nothing is left beside it: neither the new file nor the old one under another name.
TEST(WindowsOpenForOutput, EveryFailureToReplaceKeepsTheOldReport)
{
    for (const DWORD error :
        { DWORD { ERROR_UNABLE_TO_REMOVE_REPLACED }, DWORD { ERROR_UNABLE_TO_MOVE_REPLACEMENT },
            DWORD { ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 }, DWORD { ERROR_ACCESS_DENIED } }) {
        ScratchDir dir;
        const auto target = dir / "report.txt";
        std::ofstream(target) << "old report";
        {
            const ReplaceFails fails(error);
            EXPECT_FALSE(SaveFeeReport(u16(target), u"new")) << error;
        }
        EXPECT_EQ(readBytes(target), "old report") << error;
        EXPECT_EQ(names(dir.path()), std::vector<std::wstring> { L"report.txt" }) << error;
    }
}

// When the old report cannot be given its name back after 1177, the save says under which name
// it lives on, and that file holds it whole.
TEST(WindowsOpenForOutput, AnOldReportThatCannotBeMovedBackIsNamed)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << "old report";
    std::u16string leftAt;
    {
        const ReplaceFails fails(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
        holdAside = true;
        EXPECT_FALSE(SaveFeeReport(u16(target), u"new", {}, &leftAt));
        holdAside = false;
    }
    ASSERT_NE(heldAside, INVALID_HANDLE_VALUE);
    ::CloseHandle(heldAside);
    heldAside = INVALID_HANDLE_VALUE;
    ASSERT_FALSE(leftAt.empty());
    const std::filesystem::path aside(std::wstring(leftAt.begin(), leftAt.end()));
    EXPECT_EQ(aside.parent_path(), dir.path());
    EXPECT_EQ(readBytes(aside), "old report");
}

// A save that replaces a report with no trouble leaves no copy of the old one behind either,
// nor does it take a copy that an earlier failure left.
TEST(WindowsOpenForOutput, ACopyThatAnEarlierFailureLeftIsKept)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << "old report";
    std::ofstream(dir / ".report.txt.miruteka-backup-0123456789abcdef") << "earlier";
    ASSERT_TRUE(SaveFeeReport(u16(target), u"new"));
    EXPECT_EQ(readBytes(target), "new\r\n");
    EXPECT_EQ(readBytes(dir / ".report.txt.miruteka-backup-0123456789abcdef"), "earlier");
    EXPECT_EQ(names(dir.path()),
        (std::vector<std::wstring> {
            L".report.txt.miruteka-backup-0123456789abcdef", L"report.txt" }));
}

// Until it takes the report's place, the new file admits the user alone, whatever the folder
// would give a new file: no entry of its DACL is for anyone else but the system itself. (Wine
// makes the DACL from the file's Unix mode, which the security asked for sets.)
TEST(WindowsOpenForOutput, TheFileThatIsToReplaceAReportAdmitsTheUserAloneOnItsWay)
{
    ScratchDir dir;
    const auto target = dir / "report.txt";
    std::ofstream(target) << "old";
    ASSERT_TRUE(OpenForOutput(u16(target), 1));
    const auto entries = names(dir.path());
    ASSERT_EQ(entries.size(), 2u);
    const fs::path temporary = dir.path() / (entries[0] == L"report.txt" ? entries[1] : entries[0]);

    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<unsigned char> user(256);
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(
        token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size));
    ::CloseHandle(token);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(temporary.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                  nullptr, nullptr, &dacl, nullptr, &descriptor),
        ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &allowed->SidStart;
        EXPECT_TRUE(allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE
            || ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid)
            || ::IsWellKnownSid(sid, WinLocalSystemSid))
            << "entry " << i << " admits someone else";
    }
    ::LocalFree(descriptor);

    EXPECT_TRUE(PrintLine(1, u"new"));
    EXPECT_TRUE(CloseFile(1));
    EXPECT_EQ(readBytes(target), "new\r\n");
}

TEST(WindowsOpenForOutput, NamesThatCannotBeReplacedKeepTheirContent)
{
    ScratchDir dir;
    const auto readOnly = dir / "read-only.txt";
    std::ofstream(readOnly) << "old";
    ASSERT_TRUE(::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const auto locked = dir / "locked.txt";
    std::ofstream(locked) << "old";
    // Another program holding the file without sharing it.
    const HANDLE holder
        = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    for (const auto& path :
        { readOnly, locked, dir / "missing" / "r.txt", dir / "read-only.txt" / "r.txt" }) {
        EXPECT_FALSE(SaveFeeReport(u16(path), u"new")) << path;
    }
    ::CloseHandle(holder);
    EXPECT_EQ(readBytes(readOnly), "old");
    EXPECT_EQ(readBytes(locked), "old");
    EXPECT_EQ(names(dir.path()), (std::vector<std::wstring> { L"locked.txt", L"read-only.txt" }));
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsOpenForOutput, RelativeNamesAndDevices)
{
    ScratchDir dir;
    WorkingDirectory here(dir.path());
    // Relative to the current folder, and relative to the current folder of drive C:.
    for (const std::u16string_view name : { u"report.txt", u"C:drive-relative.txt" }) {
        ASSERT_TRUE(SaveFeeReport(name, u"first")) << fs::path(name);
        ASSERT_TRUE(SaveFeeReport(name, u"second")) << fs::path(name);
    }
    EXPECT_EQ(readBytes(dir / "report.txt"), "second\r\n");
    EXPECT_EQ(readBytes(dir / "drive-relative.txt"), "second\r\n");
    // Devices are written directly: nothing is made beside them.
    EXPECT_TRUE(SaveFeeReport(u"NUL", u"report"));
    EXPECT_TRUE(SaveFeeReport(u"nul", u"report"));
    EXPECT_EQ(
        names(dir.path()), (std::vector<std::wstring> { L"drive-relative.txt", L"report.txt" }));
}

// A named pipe of our own; `reader` decides what happens on its far end.
class Pipe {
public:
    explicit Pipe(DWORD buffer)
        : name_(L"\\\\.\\pipe\\miruteka-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-"
            + std::to_wstring(++count_))
        , server_(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
              1, buffer, buffer, 0, nullptr))
    {
    }
    ~Pipe() { ::CloseHandle(server_); }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    std::u16string name() const { return { name_.begin(), name_.end() }; }
    HANDLE server() const { return server_; }

    std::string readAll() const
    {
        std::string bytes;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(server_, buffer, sizeof buffer, &got, nullptr) && got > 0)
            bytes.append(buffer, got);
        return bytes;
    }

private:
    static inline int count_ = 0;
    std::wstring name_;
    HANDLE server_;
};

TEST(WindowsOpenForOutput, APipeGetsTheReportAsItIs)
{
    Pipe pipe(4096);
    ASSERT_NE(pipe.server(), INVALID_HANDLE_VALUE);
    std::string received;
    std::thread reader([&] {
        ::ConnectNamedPipe(pipe.server(), nullptr);
        received = pipe.readAll();
    });
    const bool saved = SaveFeeReport(pipe.name(), u"\r\nTOTAL 0円");
    reader.join();
    EXPECT_TRUE(saved);
    EXPECT_EQ(received, "\r\nTOTAL 0\x89\x7E\r\n");
}

TEST(WindowsOpenForOutput, APipeNobodyReadsFailsWithinSeconds)
{
    Pipe pipe(1024);
    ASSERT_NE(pipe.server(), INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SaveFeeReport(pipe.name(), std::u16string(1 << 20, u'x')));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

} // namespace
} // namespace miruteka
