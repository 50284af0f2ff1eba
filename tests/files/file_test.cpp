#include "files/file.h"

#include "diagnostics/exceptions.h"
#include "files/directory.h"
#include "files/file_attributes.h"
#include "files/remove_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>

#include <string>

namespace {

using testing_support::ScratchDir;

std::string readAll(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD read = 0;
    ::ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    ::CloseHandle(file);
    return std::string(buffer, read);
}

std::wstring makeFile(const ScratchDir& scratch, const wchar_t* name, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const std::wstring path = scratch.path() + L"\\" + name;
    VFile file;
    file.open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    file.write("data", 4);
    file.close();
    if (attributes != FILE_ATTRIBUTE_NORMAL) setFileAttributes(path, attributes);
    return path;
}

// The owner and access list of `path` in the security descriptor language.
std::wstring securityText(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return L"<unreadable>";
    wchar_t* text = nullptr;
    std::wstring result = L"<unconvertible>";
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        result = text;
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return result;
}

// Wine's conversion of a DOS path to its Unix path (a Wine-only export).
std::string unixPathOf(const std::wstring& dosPath) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* path = toUnix ? toUnix(dosPath.c_str()) : nullptr;
    if (!path) return {};
    std::string result(path);
    ::HeapFree(::GetProcessHeap(), 0, path);
    return result;
}

// A symbolic link at `link` to the file `target`. Windows makes it with
// CreateSymbolicLinkW. Wine 8's CreateSymbolicLinkW answers TRUE and makes
// nothing; there the link is a Unix symbolic link, which Wine opens as its
// target and does not mark as a reparse point: the case where only the name
// tells the link from its target.
bool createFileLink(const std::wstring& link, const std::wstring& target) {
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const std::string unixLink = unixPathOf(link), unixTarget = unixPathOf(target);
    if (unixLink.empty() || unixTarget.empty()) return false;
    // Wine starts a Unix program named by a Unix path; it gets no Windows
    // process, so the link's appearance tells that it ran.
    std::wstring commandLine = L"/bin/ln -s \"" + std::wstring(unixTarget.begin(), unixTarget.end()) + L"\" \"" +
                               std::wstring(unixLink.begin(), unixLink.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    if (info.hProcess) ::CloseHandle(info.hProcess);
    if (info.hThread) ::CloseHandle(info.hThread);
    return testing_support::waitUntil(
        [&] { return ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; }, 10000);
}

}  // namespace

TEST(VFileTest, WriteSeekAndOverwrite) {
    ScratchDir scratch;
    const std::wstring path = scratch.path() + L"\\out.bin";
    VFile file;
    file.open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    EXPECT_EQ(file.name(), path);
    EXPECT_EQ(file.write("0123456789", 10), 10u);
    EXPECT_EQ(file.seek(2), 2u);
    EXPECT_EQ(file.write("ab", 2, false), 2u);
    EXPECT_EQ(file.seek(0, nullptr, FILE_END), 10u);
    LONG high = -1;  // with the high part, -1 is the 64-bit distance -1
    EXPECT_EQ(file.seek(-1, &high, FILE_CURRENT), 9u);
    EXPECT_EQ(high, 0);
    file.close();
    EXPECT_EQ(readAll(path), "01ab456789");
}

TEST(VFileTest, FailedOpenKeepsThePreviousFile) {
    ScratchDir scratch;
    const std::wstring good = scratch.path() + L"\\good.txt";
    const std::wstring missing = scratch.path() + L"\\no\\such.txt";
    VFile file;
    file.open(good, GENERIC_WRITE, 0, CREATE_ALWAYS);
    try {
        file.open(missing, GENERIC_READ, 0, OPEN_EXISTING);
        ADD_FAILURE() << "no error";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L") at Open file '" + missing + L"'"), std::wstring::npos);
        EXPECT_EQ(e.context().back().function, "VFile::open");
        EXPECT_EQ(e.context().back().line, 104);
    }
    EXPECT_EQ(file.name(), good);
    EXPECT_EQ(file.write("kept", 4), 4u);
}

TEST(VFileTest, ShortWriteNamesTheByteCountAndTheFile) {
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t name[80];
    swprintf(name, 80, L"\\\\.\\pipe\\quarn-short-write-%08lx", guid.Data1);
    HANDLE server = ::CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 4, 4, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    VFile client;
    client.open(name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, OPEN_EXISTING);
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    ::SetNamedPipeHandleState(client.handle(), &mode, nullptr, nullptr);
    const char data[10] = {};
    DWORD written = 0;
    try {
        written = client.write(data, 10, false);
    } catch (const vexception&) {
        written = 10;  // the platform refuses instead of writing part of it
    }
    if (written == 10) {
        ::CloseHandle(server);
        GTEST_SKIP() << "this platform does not write pipes partially";
    }
    try {
        client.write(data, 10, true);
        ADD_FAILURE() << "no error";
    } catch (const vexception& e) {
        EXPECT_EQ(e.fullText(),
                  std::wstring(L"Unable to write 10 bytes into file '") + name + L"'\n   at (VFile::write line 132)");
    }
    ::CloseHandle(server);
}

TEST(FileAttributes, ReadAndWriteAndMissingFile) {
    ScratchDir scratch;
    // Hidden and read-only each on their own: Wine makes a file read-only
    // before it stores its other attributes, which an ordinary Unix user
    // (not root) may then no longer write, so what becomes of the hidden
    // mark after that depends on who runs the test.
    const std::wstring path = makeFile(scratch, L"attr.txt", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(getFileAttributes(path) & FILE_ATTRIBUTE_HIDDEN);
    setFileAttributes(path, FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(getFileAttributes(path) & FILE_ATTRIBUTE_READONLY);
    setFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(getFileAttributes(path) & FILE_ATTRIBUTE_READONLY);
    const std::wstring missing = scratch.path() + L"\\missing.txt";
    try {
        getFileAttributes(missing);
        ADD_FAILURE() << "no error";
    } catch (const VFileNotFoundException& e) {
        EXPECT_NE(e.message().find(L"(Error code 2) at GetFileAttributes(" + missing + L")"), std::wstring::npos);
        EXPECT_EQ(e.context().back().function, "getFileAttributes");
    }
}

TEST(RemoveFile, MissingFileCountsAsDeleted) {
    ScratchDir scratch;
    removeFile(scratch.path() + L"\\never-there.txt", false);
    removeFile(scratch.path() + L"\\never-there.txt", true);
    const std::wstring path = makeFile(scratch, L"plain.txt");
    removeFile(path, false);
    EXPECT_FALSE(VDirectory::exists(path));
}

TEST(RemoveFile, ReadOnlyFileNeedsTheForceFlag) {
    ScratchDir scratch;
    const std::wstring path = makeFile(scratch, L"locked.txt", FILE_ATTRIBUTE_READONLY);
    try {
        removeFile(path, false);
        ADD_FAILURE() << "a read-only file was deleted without force";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L" at DeleteFile '" + path + L"'"), std::wstring::npos);
        EXPECT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context().back().function, "removeFile");
        EXPECT_EQ(e.context().back().line, 627);
    }
    EXPECT_TRUE(VDirectory::exists(path));
    removeFile(path, true);
    EXPECT_FALSE(VDirectory::exists(path));
}

TEST(RemoveFile, ForceWorksOnLongPaths) {
    ScratchDir scratch;
    std::wstring deep = scratch.path();
    for (int i = 0; i < 28; ++i) deep += L"\\long-directory" + std::to_wstring(i);
    VDirectory::createDirectory(deep);
    const std::wstring path = deep + L"\\f.txt";
    VFile file;
    file.open(L"\\\\?\\" + path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    file.close();
    setFileAttributes(path, FILE_ATTRIBUTE_READONLY);
    removeFile(path, true);
    EXPECT_FALSE(VDirectory::exists(path));
}

// A link planted where the clean-ups delete with force must never hand the
// target's ownership, access list or read-only bit to the deleting process.
TEST(RemoveFile, ForceNeverChangesTheTargetOfALink) {
    ScratchDir scratch;
    const std::wstring target = makeFile(scratch, L"target.txt", FILE_ATTRIBUTE_READONLY);
    const std::wstring security = securityText(target);
    const std::wstring link = scratch.path() + L"\\link.txt";
    ASSERT_TRUE(createFileLink(link, target));
    try {
        removeFile(link, true);
    } catch (const std::exception&) {
        // Refused: the link stays, named in the error.
        EXPECT_TRUE(VDirectory::exists(link));
    } catch (const vexception& e) {
        EXPECT_NE(e.message().find(link), std::wstring::npos);
    }
    EXPECT_NE(getFileAttributes(target) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(securityText(target), security);
    EXPECT_EQ(readAll(target), "data");
    setFileAttributes(target, FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(link.c_str());
}
