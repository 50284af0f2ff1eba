// quarnlayout.exe: lays out the current Wine prefix as a Quarn server.
//
//   quarnlayout.exe FILE            apply the layout FILE
//   quarnlayout.exe --remove FILE   remove what FILE lays out
//
// Exit code 0 on success; 1 with a message on standard error otherwise;
// 2 for a wrong command line.
#include "layout.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void print(FILE* stream, const std::wstring& text) {
    const std::wstring line = text + L"\n";
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr,
                          nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace sandbox::layout;
    const bool remove = argc == 3 && std::wstring(argv[1]) == L"--remove";
    if (!(argc == 2 && argv[1][0] != L'-') && !remove) {
        print(stderr, L"usage: quarnlayout.exe [--remove] LAYOUT-FILE");
        return 2;
    }
    const std::wstring file = argv[argc - 1];
    try {
        const Layout layout = loadLayout(file);
        if (remove) {
            removeLayout(layout);
            print(stdout, L"quarnlayout: removed " + file);
        } else {
            applyLayout(layout);
            print(stdout, L"quarnlayout: applied " + file + L" (" + std::to_wstring(layout.keys.size()) +
                              L" key sections, " + std::to_wstring(layout.packages.size()) + L" package sections, " +
                              std::to_wstring(layout.services.size()) + L" services, " +
                              std::to_wstring(layout.folders.size()) + L" folders)");
        }
        return 0;
    } catch (const LayoutError& error) {
        print(stderr, L"quarnlayout: " + error.text());
    } catch (const std::exception& error) {
        print(stderr, L"quarnlayout: " + std::wstring(error.what(), error.what() + std::strlen(error.what())));
    }
    return 1;
}
