// station on Windows: a card is a removable drive that holds a volume
// (GetLogicalDrives, GetDriveTypeW), its root the card folder; a good one
// is locked, dismounted and ejected. Windows says nothing of a new drive to
// a console program without a window, so the drives are looked at once a
// second.
#include "ToolPlatform.h"

#include <windows.h>
#include <winioctl.h>


namespace fs = std::filesystem;

namespace tool {

std::vector<fs::path> DefaultWatchFolders() { return {}; }

struct VolumeWatch {
    HANDLE wake;
};

VolumeWatch* WatchVolumes(const std::vector<fs::path>& folders, std::string* why)
{
    if (!folders.empty()) {
        *why = "--watch is for Linux: on Windows every removable drive is watched";
        return nullptr;
    }
    HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!wake) {
        *why = Win32ErrorText(GetLastError());
        return nullptr;
    }
    return new VolumeWatch{wake};
}

std::vector<WatchedVolume> VolumesNow(VolumeWatch*)
{
    // An empty card reader is a removable drive too: only one that holds a
    // volume is a card, and no dialog asks for a disk.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    std::vector<WatchedVolume> volumes;
    const DWORD drives = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(drives & (1u << letter))) continue;
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', 0};
        if (GetDriveTypeW(root) != DRIVE_REMOVABLE) continue;
        wchar_t system[MAX_PATH + 1];
        if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1)) continue;
        const char device[] = {'\\', '\\', '.', '\\', static_cast<char>('A' + letter), ':', 0};
        volumes.push_back({fs::path(root), device});
    }
    SetErrorMode(previous);
    return volumes;
}

bool AwaitVolumeChange(VolumeWatch* watch) { return WaitForSingleObject(watch->wake, 1000) == WAIT_TIMEOUT; }

void WakeVolumeWatch(VolumeWatch* watch) { SetEvent(watch->wake); }

void EndVolumeWatch(VolumeWatch* watch)
{
    if (!watch) return;
    CloseHandle(watch->wake);
    delete watch;
}

namespace {

bool Control(HANDLE volume, DWORD code, const void* in, DWORD inBytes, const char* what, std::string* why)
{
    DWORD returned = 0;
    if (DeviceIoControl(volume, code, const_cast<void*>(in), inBytes, nullptr, 0, &returned, nullptr)) return true;
    *why = std::string(what) + ": " + Win32ErrorText(GetLastError());
    return false;
}

bool ReleaseVolume(const WatchedVolume& volume, std::string* how, std::string* why)
{
    const std::wstring device = fs::u8path(volume.device).wstring();
    HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = "cannot open " + volume.device + ": " + Win32ErrorText(GetLastError());
        return false;
    }
    PREVENT_MEDIA_REMOVAL allow = {FALSE};
    const bool released = (FlushFileBuffers(handle) || (*why = "cannot flush: " + Win32ErrorText(GetLastError()), false)) &&
                          Control(handle, FSCTL_LOCK_VOLUME, nullptr, 0, "cannot lock the volume (in use)", why) &&
                          Control(handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, "cannot dismount the volume", why) &&
                          Control(handle, IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow,
                                  "cannot allow the card's removal", why) &&
                          Control(handle, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, "cannot eject the card", why);
    CloseHandle(handle);
    if (released) *how = "dismounted and ejected";
    return released;
}

} // namespace

const ReleaseCalls kReleaseCalls = {ReleaseVolume};
ReleaseCalls g_releaseCalls = kReleaseCalls;

} // namespace tool
