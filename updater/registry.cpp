// registry.cpp - the product's key under HKEY_CURRENT_USER: "Software\Zelk"
// or "Software\Tarvo", with the values Location and Version.
//
// The key is opened by creating it, so even a failed look-up leaves an empty
// product key behind. Every failure answers 0 without a message; the run
// then reports that the product directory was not found.
#include <cstdio>
#include <cstring>

#include "updater.h"

char ProductLocation[LocationSize];
char InstalledVersion[VersionSize];

namespace {

constexpr int KeyPathSize = 40;
constexpr const char* DemoDirectory = "C:\\Program Files\\Zelk Demo";

}  // namespace

int OpenProductKey(const char* product, OsHandle* key) {
    char path[KeyPathSize];
    std::snprintf(path, sizeof path, "Software\\%s", product);
    *key = OsRegCreateKey(path, product);
    return *key != 0 ? 1 : 0;
}

int ReadProductRegistry(const char* product) {
    OsHandle key;
    if (!OpenProductKey(product, &key))
        return 0;
    bool read = OsRegQueryString(key, "Location", ProductLocation, LocationSize);
    if (read && ZelkProduct && !DemoBuild)
        read = OsRegQueryString(key, "Version", InstalledVersion, VersionSize);
    OsRegCloseKey(key);
    return read ? 1 : 0;
}

int WriteProductVersion(const char* product, const char* version) {
    OsHandle key;
    if (!OpenProductKey(product, &key))
        return 0;
    const bool written = OsRegSetString(key, "Version", version);
    OsRegCloseKey(key);
    return written ? 1 : 0;
}

int FindProductLocation() {
    if (ZelkProduct && DemoBuild) {
        // The default directory lies on the drive that holds Windows.
        std::strcpy(ProductLocation, DemoDirectory);
        char windows[LocationSize] = {};
        OsGetWindowsDirectory(windows, sizeof windows);
        if (windows[0])
            ProductLocation[0] = windows[0];
        return 1;
    }
    return ReadProductRegistry(ZelkProduct ? "Zelk" : "Tarvo");
}
