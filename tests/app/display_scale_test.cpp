#include "app/control_dlg.h"
#include "app/resource_text.h"

#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "test_support.h"
#include "ui/display_scale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;

namespace {

constexpr WORD kIcons[] = {IDI_TRAY_STARTED,    IDI_GROUP_RUNTIME,   IDI_SERVICE_DISABLED,
                           IDI_SERVICE_STARTED, IDI_SERVICE_STOPPED, IDI_GROUP_MAIL,
                           IDI_GROUP_OTHER,     IDI_TRAY_DISABLED,   IDI_TRAY_STOPPED};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

std::set<int> imageSizes(WORD icon) {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(icon), RT_GROUP_ICON);
    if (!found) return {};
    const auto* header = static_cast<const GroupIconHeader*>(::LockResource(::LoadResource(module, found)));
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(header + 1);
    std::set<int> sizes;
    for (WORD i = 0; i < header->count; ++i) {
        EXPECT_EQ(entries[i].width, entries[i].height) << "icon " << icon;
        EXPECT_EQ(entries[i].bitCount, 32) << "icon " << icon;
        sizes.insert(entries[i].width ? entries[i].width : 256);  // 0 stands for 256
    }
    return sizes;
}

int iconSize(HICON icon) {
    ICONINFO info{};
    if (!icon || !::GetIconInfo(icon, &info)) return 0;
    BITMAP bits{};
    ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bits), &bits);
    if (info.hbmColor) ::DeleteObject(info.hbmColor);
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    return bits.bmWidth;
}

TEST(DisplayScale, IconResourcesHoldEverySizeAndLoadAtEach) {
    const std::set<int> expected{16, 20, 24, 32, 40, 48, 64, 256};
    for (WORD icon : kIcons) {
        EXPECT_EQ(imageSizes(icon), expected) << "icon " << icon;
        for (int size : {16, 20, 24, 40}) {
            const HICON loaded = loadIconAtSize(icon, size);
            EXPECT_EQ(iconSize(loaded), size) << "icon " << icon;
            EXPECT_EQ(loadIconAtSize(icon, size), loaded) << "one shared handle per icon and size";
        }
    }
}

// What the monitor measures of itself in a process started at one DPI.
using Report = std::map<std::string, long>;

void measure(OpenMonitor& monitor, const std::string& prefix, Report& report) {
    int width = 0, height = 0;
    ImageList_GetIconSize(monitor.dialog().imageList(), &width, &height);
    report[prefix + "image"] = width;
    report[prefix + "imageHeight"] = height;
    report[prefix + "row"] = static_cast<long>(::SendMessageW(monitor.tree(), TVM_GETITEMHEIGHT, 0, 0));
    RECT client{};
    ::GetClientRect(monitor.window(), &client);
    report[prefix + "clientWidth"] = client.right;
    report[prefix + "clientHeight"] = client.bottom;
    RECT place{};
    ::GetWindowRect(monitor.window(), &place);
    report[prefix + "left"] = place.left;
    report[prefix + "top"] = place.top;
    report[prefix + "right"] = place.right;
    report[prefix + "bottom"] = place.bottom;
    RECT button{};
    ::GetWindowRect(::GetDlgItem(monitor.window(), IDC_START), &button);
    report[prefix + "buttonWidth"] = button.right - button.left;
    report[prefix + "buttonHeight"] = button.bottom - button.top;
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendDlgItemMessageW(monitor.window(), IDC_START, WM_GETFONT, 0, 0)),
                 sizeof(font), &font);
    report[prefix + "font"] = std::abs(font.lfHeight);
    report[prefix + "smallIcon"] =
        iconSize(reinterpret_cast<HICON>(monitor.send(WM_GETICON, ICON_SMALL, 0)));
    report[prefix + "bigIcon"] = iconSize(reinterpret_cast<HICON>(monitor.send(WM_GETICON, ICON_BIG, 0)));
    report[prefix + "tray"] = iconSize(monitor.tray().lastIcon());
    // The pictures keep their alpha channel.
    IMAGEINFO picture{};
    BITMAP bits{};
    if (ImageList_GetImageInfo(monitor.dialog().imageList(), 0, &picture))
        ::GetObjectW(picture.hbmImage, sizeof(bits), &bits);
    report[prefix + "imageBits"] = bits.bmBitsPixel;
    int box = 0, boxHeight = 0;
    ImageList_GetIconSize(
        reinterpret_cast<HIMAGELIST>(::SendMessageW(monitor.tree(), TVM_GETIMAGELIST, TVSIL_STATE, 0)), &box,
        &boxHeight);
    report[prefix + "checkBox"] = box;
}

// The child's part: runs only in a process started by MonitorFollowsLogPixels,
// which names the report file in QUARN_SCALE_REPORT.
TEST(DisplayScale, ChildMeasuresTheMonitor) {
    wchar_t reportFile[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QUARN_SCALE_REPORT", reportFile, MAX_PATH))
        GTEST_SKIP() << "run by DisplayScale.MonitorFollowsLogPixels";
    PackagesSandbox packages;
    OpenMonitor monitor;
    Report report;
    report["dpi"] = static_cast<long>(monitor.dialog().dpi());
    measure(monitor, "", report);
    // Where GetDpiForWindow is missing (Windows 8.1, early Windows 10), the
    // monitor's DPI comes from GetDpiForMonitor.
    auto& functions = display_scale_detail::functions();
    const auto getDpiForWindow = functions.getDpiForWindow;
    functions.getDpiForWindow = nullptr;
    report["dpiWithoutWindowFunction"] = static_cast<long>(windowDpi(monitor.window()));
    functions.getDpiForWindow = getDpiForWindow;

    // The dialog moves to a monitor at 150 %: the platform proposes a
    // rectangle of its own (here one half again as large, elsewhere).
    const UINT dpi = monitor.dialog().dpi() * 3 / 2;
    RECT suggested{40, 30, 40 + (report["right"] - report["left"]) * 3 / 2,
                   30 + (report["bottom"] - report["top"]) * 3 / 2};
    monitor.send(WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    report["movedDpi"] = static_cast<long>(monitor.dialog().dpi());
    report["suggestedLeft"] = suggested.left;
    report["suggestedTop"] = suggested.top;
    report["suggestedRight"] = suggested.right;
    report["suggestedBottom"] = suggested.bottom;
    measure(monitor, "moved.", report);
    // Every picture of the tree is still shown (groups included).
    report["moved.pictures"] = ImageList_GetImageCount(monitor.dialog().imageList());
    report["pictures"] = 3 + static_cast<long>(monitor.dialog().catalogue()->size());

    std::ofstream out(reportFile);
    for (const auto& [key, value] : report) out << key << ' ' << value << '\n';
}

class LogPixels {
public:
    explicit LogPixels(DWORD dpi) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                          key_.put(), nullptr);
        DWORD size = sizeof(saved_);
        had_ = ::RegQueryValueExW(key_.get(), L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&saved_),
                                  &size) == ERROR_SUCCESS;
        set(dpi);
    }
    ~LogPixels() {
        if (had_) {
            set(saved_);
        } else {
            ::RegDeleteValueW(key_.get(), L"LogPixels");
        }
    }

private:
    void set(DWORD dpi) {
        ::RegSetValueExW(key_.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
    }
    UniqueRegKey key_;
    DWORD saved_ = 0;
    bool had_ = false;
};

Report runAt(DWORD dpi) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring file = testing_support::capturedOutputFile(L"scale" + std::to_wstring(dpi));
    LogPixels pixels(dpi);
    ::SetEnvironmentVariableW(L"QUARN_SCALE_REPORT", file.c_str());
    const long code = testing_support::runProcess(
        L"\"" + std::wstring(self) + L"\" --gtest_filter=DisplayScale.ChildMeasuresTheMonitor", 120000);
    ::SetEnvironmentVariableW(L"QUARN_SCALE_REPORT", nullptr);
    EXPECT_EQ(code, 0) << "the measuring child at " << dpi << " DPI";
    Report report;
    std::istringstream lines(testing_support::readFileBytes(file));
    std::string key;
    long value = 0;
    while (lines >> key >> value) report[key] = value;
    return report;
}

double ratio(Report& high, Report& low, const std::string& key) {
    return low[key] ? static_cast<double>(high[key]) / low[key] : 0;
}

TEST(DisplayScale, MonitorFollowsLogPixels) {
    Report normal = runAt(96);
    Report large = runAt(144);
    ASSERT_EQ(normal["dpi"], 96);
    ASSERT_EQ(large["dpi"], 144);

    // Pictures at the small-icon size of the DPI, from their own images.
    EXPECT_EQ(normal["image"], 16);
    EXPECT_EQ(normal["imageHeight"], 16);
    EXPECT_EQ(large["image"], 24);
    EXPECT_EQ(large["imageHeight"], 24);
    EXPECT_EQ(normal["smallIcon"], 16);
    EXPECT_EQ(large["smallIcon"], 24);
    EXPECT_EQ(normal["bigIcon"], 32);
    EXPECT_EQ(large["bigIcon"], 48);
    EXPECT_EQ(normal["tray"], 16);
    EXPECT_EQ(large["tray"], 24);
    // Rows and the dialog grow with the scale.
    EXPECT_GE(ratio(large, normal, "row"), 1.4);
    EXPECT_GE(ratio(large, normal, "clientWidth"), 1.4);
    EXPECT_GE(ratio(large, normal, "clientHeight"), 1.4);

    // At 96, WM_DPICHANGED for 144: pictures, rows, font and controls as at
    // 144, in the rectangle the platform suggested.
    EXPECT_EQ(normal["movedDpi"], 144);
    EXPECT_EQ(normal["moved.image"], 24);
    EXPECT_EQ(normal["moved.imageHeight"], 24);
    EXPECT_EQ(normal["moved.pictures"], normal["pictures"]);
    EXPECT_EQ(normal["moved.smallIcon"], 24);
    EXPECT_EQ(normal["moved.bigIcon"], 48);
    EXPECT_EQ(normal["moved.tray"], 24) << "the tray icon is replaced at the new size";
    EXPECT_EQ(normal["moved.left"], normal["suggestedLeft"]);
    EXPECT_EQ(normal["moved.top"], normal["suggestedTop"]);
    EXPECT_EQ(normal["moved.right"], normal["suggestedRight"]);
    EXPECT_EQ(normal["moved.bottom"], normal["suggestedBottom"]);
    EXPECT_GE(static_cast<double>(normal["moved.row"]) / normal["row"], 1.4);
    EXPECT_NEAR(static_cast<double>(normal["moved.buttonWidth"]) / normal["buttonWidth"], 1.5, 0.05);
    EXPECT_NEAR(static_cast<double>(normal["moved.buttonHeight"]) / normal["buttonHeight"], 1.5, 0.1);
    EXPECT_NEAR(static_cast<double>(normal["moved.font"]) / normal["font"], 1.5, 0.1);

    // 32-bit pictures; check boxes drawn again at the new size; the monitor's
    // DPI without the per-window function.
    for (Report* report : {&normal, &large}) {
        EXPECT_EQ((*report)["imageBits"], 32);
        EXPECT_EQ((*report)["moved.imageBits"], 32);
        EXPECT_EQ((*report)["dpiWithoutWindowFunction"], (*report)["dpi"]);
    }
    EXPECT_EQ(normal["moved.checkBox"], 24);
    EXPECT_EQ(large["moved.checkBox"], 36);
}

// Records what the dialog manager is told (Windows 10 1703 and later have
// these functions; Wine has no dialog manager scaling to turn off).
struct BehaviourCall {
    HWND window;
    int mask;
    int values;
};
std::vector<BehaviourCall> g_dialogCalls, g_controlCalls;
BOOL WINAPI recordDialog(HWND window, int mask, int values) {
    g_dialogCalls.push_back({window, mask, values});
    return TRUE;
}
BOOL WINAPI recordControl(HWND window, int mask, int values) {
    g_controlCalls.push_back({window, mask, values});
    return TRUE;
}

// Stands in for Windows 10 1703 and later: their dialog manager would scale
// the dialog's fonts and controls and size the window on a change of scale,
// and the monitor's own relayout would then act on top of it.
TEST(DisplayScale, DialogManagersOwnScalingIsOffForTheDialogAndEveryControl) {
    PackagesSandbox packages;
    auto& functions = display_scale_detail::functions();
    const display_scale_detail::Functions platform = functions;
    g_dialogCalls.clear();
    g_controlCalls.clear();
    functions.setDialogDpiChangeBehavior = &recordDialog;
    functions.setDialogControlDpiChangeBehavior = &recordControl;
    {
        OpenMonitor monitor;
        functions = platform;
        // DDC_DISABLE_ALL | DDC_DISABLE_RESIZE | DDC_DISABLE_CONTROL_RELAYOUT.
        ASSERT_EQ(g_dialogCalls.size(), 1u);
        EXPECT_EQ(g_dialogCalls[0].window, monitor.window());
        EXPECT_EQ(g_dialogCalls[0].mask, 7);
        EXPECT_EQ(g_dialogCalls[0].values, 7);
        // DCDC_DISABLE_FONT_UPDATE | DCDC_DISABLE_RELAYOUT for each control.
        std::set<HWND> controls;
        for (HWND child = ::GetWindow(monitor.window(), GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
            controls.insert(child);
        std::set<HWND> told;
        for (const BehaviourCall& call : g_controlCalls) {
            EXPECT_EQ(call.mask, 3);
            EXPECT_EQ(call.values, 3);
            told.insert(call.window);
        }
        EXPECT_EQ(told, controls);
    }
    functions = platform;
}

}  // namespace
