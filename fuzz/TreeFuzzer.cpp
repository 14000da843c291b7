// Random package trees through the whole job. The input is a program that
// builds a package: files and folders with names from a palette (the
// excluded names in random letter case, in sub-folders and as folder names,
// characters outside ASCII and outside the BMP, names that need the host
// layer's escapes), chains as deep as the path limit allows, file sizes
// around multiples of 1024. The package is sealed with a sum computed here;
// the job must return 0 and leave an exact copy, and with the sum off by one
// it must return 6.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "FuzzCheck.h"
#include "HostFaults.h"
#include "PELK_UserMapCopy.h"

namespace fs = std::filesystem;

namespace {

const size_t kSourceUnits = 14; // SDMMC\PreDLMap
const size_t kMaxUnits = 259;   // MAX_PATH less the terminator
const size_t kPatternUnits = 4; // \*.*
const size_t kMaxEntries = 48;
const size_t kMaxChains = 1; // up to ~120 folders, the costliest part of a run

struct Input {
    const uint8_t* data;
    size_t size;
    size_t offset;
    uint8_t Next() { return offset < size ? data[offset++] : 0; }
    bool More() const { return offset < size; }
};

size_t Utf16Units(const std::string& name)
{
    size_t units = 0;
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= name.size();
        for (size_t k = 1; valid && k < length; ++k) valid = (name[i + k] & 0xC0) == 0x80;
        if (!valid) { // a byte that is not UTF-8 travels as one escaped unit
            ++units;
            ++i;
            continue;
        }
        units += length == 4 ? 2 : 1; // outside the BMP: a surrogate pair
        i += length;
    }
    return units;
}

std::string AsciiLower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsExcluded(const std::string& name)
{
    const std::string lower = AsciiLower(name);
    return lower == "checksum.ini" || lower == "predlverno.ini";
}

std::string RandomCase(std::string text, uint8_t mask)
{
    unsigned bit = 0;
    for (char& c : text) {
        if (!isalpha(static_cast<unsigned char>(c))) continue;
        const bool upper = (mask >> (bit++ % 8)) & 1;
        c = static_cast<char>(upper ? toupper(static_cast<unsigned char>(c)) : tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string PaletteName(Input& in)
{
    static const char* const kStems[] = {
        "checksum.ini",            // excluded, in any case
        "PreDLVerno.ini",          // excluded, in any case
        "map.dat",
        "\xC3\xA9t\xC3\xA9.idx",   // été
        "\xE6\x97\xA5\xE6\x9C\xAC", // 日本
        "\xF0\x9F\x98\x80.bin",    // U+1F600, outside the BMP
        "\xF0\x9D\x84\x9E",        // U+1D11E
        "*.*",                     // a host name that looks like a pattern
        "a:b?c",                   // characters the device forbids
        "checksum.ini.bak",        // near the excluded names, but not them
        "predlverno.in",
        "two words",
    };
    const uint8_t pick = in.Next();
    const uint8_t mask = in.Next();
    if (pick % 16 == 12) return std::string(1 + mask % 60, static_cast<char>('A' + pick % 26)); // long names
    if (pick % 16 >= 13 && (mask & 0x80)) {
        // Host names the device cannot spell directly: bytes that are not
        // UTF-8, and characters with a meaning in device paths.
        static const char* const kOdd[] = {"bad\xFF\x62yte", "\x80", "back\\slash", "tab\tname", "x\x01y"};
        return kOdd[mask % 5];
    }
    if (pick % 16 >= 13) return std::string(1, static_cast<char>('a' + mask % 26));
    return RandomCase(kStems[pick % 16], mask);
}

struct Package {
    std::map<std::string, std::string> files; // relative path to bytes
    std::set<std::string> folders;
    uint16_t sum = 0;
};

struct Folder {
    std::string path;  // relative, "/" separators, "" for the package root
    size_t units;      // the device path's length, SDMMC\PreDLMap included
};

class Builder {
public:
    explicit Builder(Package* package) : package_(package) { taken_[""].insert("checksum.ini"); }

    // A name not yet used in the folder (ignoring letter case, as the device
    // does) that fits the limit; empty when none does.
    std::string FreeName(const Folder& folder, std::string name, size_t reserve)
    {
        std::set<std::string>& taken = taken_[folder.path];
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (!taken.count(AsciiLower(name)) && folder.units + 1 + Utf16Units(name) + reserve <= kMaxUnits) {
                taken.insert(AsciiLower(name));
                return name;
            }
            name = attempt < 2 ? name + "_" + std::to_string(attempt) : std::string(1, static_cast<char>('k' + attempt));
        }
        return "";
    }

    bool AddFile(const Folder& folder, const std::string& wanted, size_t size, uint8_t seed)
    {
        if (entries_ >= kMaxEntries) return false;
        const std::string name = FreeName(folder, wanted, 0);
        if (name.empty()) return false;
        std::string bytes(size, '\0');
        uint32_t state = seed * 2246822519u + 1;
        for (char& c : bytes) {
            state = state * 1103515245u + 12345u;
            c = static_cast<char>(state >> 23);
        }
        if (!IsExcluded(name))
            for (unsigned char c : bytes) package_->sum = static_cast<uint16_t>(package_->sum + c);
        package_->files[Join(folder.path, name)] = bytes;
        ++entries_;
        return true;
    }

    // A chain's folders are cheap and do not count against the entry limit,
    // so a chain can reach the path limit.
    bool AddFolder(const Folder& folder, const std::string& wanted, Folder* created, bool chain = false)
    {
        if (!chain && entries_ >= kMaxEntries) return false;
        const std::string name = FreeName(folder, wanted, kPatternUnits);
        if (name.empty()) return false;
        created->path = Join(folder.path, name);
        created->units = folder.units + 1 + Utf16Units(name);
        package_->folders.insert(created->path);
        if (!chain) ++entries_;
        return true;
    }

    static std::string Join(const std::string& folder, const std::string& name)
    {
        return folder.empty() ? name : folder + "/" + name;
    }

private:
    Package* package_;
    std::map<std::string, std::set<std::string>> taken_;
    size_t entries_ = 0;
};

size_t FileSize(Input& in)
{
    const uint8_t b = in.Next();
    const int size = 1024 * (b % 5) + static_cast<int>((b >> 3) % 5) - 2;
    return size < 0 ? 0 : static_cast<size_t>(size);
}

Package BuildPackage(Input& in)
{
    Package package;
    Builder builder(&package);
    std::vector<Folder> stack = {{"", kSourceUnits}};
    size_t chains = 0;
    while (in.More()) {
        const Folder current = stack.back();
        const uint8_t op = in.Next();
        switch (op % 8) {
        case 0:
        case 1: {
            const std::string name = PaletteName(in);
            const size_t size = FileSize(in);
            builder.AddFile(current, name, size, in.Next());
            break;
        }
        case 2:
        case 3: { // a folder, entered or left empty
            Folder created;
            if (builder.AddFolder(current, PaletteName(in), &created) && op % 8 == 2) stack.push_back(created);
            break;
        }
        case 4:
            if (stack.size() > 1) stack.pop_back();
            break;
        case 5: { // a chain of one-letter folders to the limit, a file of exactly 259 units at its end
            if (++chains > kMaxChains) break;
            Folder folder = current;
            Folder next;
            while (folder.units + 2 + kPatternUnits <= kMaxUnits && builder.AddFolder(folder, "d", &next, true))
                folder = next;
            const size_t room = kMaxUnits - folder.units - 1;
            if (room > 0) builder.AddFile(folder, std::string(room < 60 ? room : 60, 'f'), FileSize(in), in.Next());
            break;
        }
        case 6: // an excluded name as a file, anywhere
            builder.AddFile(current, RandomCase(op & 8 ? "checksum.ini" : "PreDLVerno.ini", in.Next()), FileSize(in), in.Next());
            break;
        case 7: { // an excluded name as a folder, entered
            Folder created;
            if (builder.AddFolder(current, RandomCase(op & 8 ? "checksum.ini" : "PreDLVerno.ini", in.Next()), &created))
                stack.push_back(created);
            break;
        }
        }
    }
    return package;
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good(), path.string());
}

// The checksum text for a sum, in one of the spellings "%x" accepts.
std::string ChecksumText(uint16_t sum, uint8_t style)
{
    char text[64];
    switch (style % 5) {
    case 0: snprintf(text, sizeof text, "%X\r\n", sum); break;
    case 1: snprintf(text, sizeof text, "0x%04x", sum); break;
    case 2: snprintf(text, sizeof text, " \t+%x [ignored]\n", sum); break;
    case 3: snprintf(text, sizeof text, "%X%04X", 0xABCDEFu, sum); break; // high bits ignored
    default: snprintf(text, sizeof text, "-%x", static_cast<unsigned>((65536 - sum) % 65536)); break;
    }
    return text;
}

using Snapshot = std::map<std::string, std::string>;

Snapshot Snap(const fs::path& base)
{
    Snapshot snapshot;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(base, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const std::string key = it->path().lexically_relative(base).string();
        if (it->is_symlink()) snapshot[key] = "L";
        else if (it->is_directory()) snapshot[key] = "D";
        else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            snapshot[key] = "F:" + bytes.str();
        }
    }
    return snapshot;
}

// A fresh device root for each input, removed after it: the engine ends
// the process without running exit handlers.
fs::path MakeDeviceRoot()
{
    // In memory where there is a tmpfs: a disk's metadata writes would make
    // each input take tenths of a second.
    std::error_code error;
    std::string pattern = (fs::is_directory("/dev/shm", error) ? "/dev/shm" : fs::temp_directory_path().string()) +
                          "/pelk-tree-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern.data());
    if (!made) abort();
    return fs::path(made);
}

int32_t RunJob()
{
    const int descriptors = HostOpenDescriptors();
    const int32_t status = PELK_UserMapCopy_CopyFiles();
    FUZZ_CHECK(HostOpenFindHandles() == 0, "a find handle left open");
    FUZZ_CHECK(HostOpenDescriptors() == descriptors, "a stream or folder left open");
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in = {data, size, 0};
    const uint8_t style = in.Next();
    const Package package = BuildPackage(in);

    const fs::path root = MakeDeviceRoot();
    const fs::path source = root / "SDMMC" / "PreDLMap";
    fs::create_directories(source);
    for (const std::string& folder : package.folders) fs::create_directories(source / folder);
    for (const auto& [path, bytes] : package.files) WriteBytes(source / path, bytes);
    // A stale target from an earlier install.
    fs::create_directories(root / "MassStorage" / "old" / "empty");
    WriteBytes(root / "MassStorage" / "old" / "x.bin", "stale");

    HostFaultsReset();
    FUZZ_CHECK(HostSetDeviceRoot(root.c_str()), "device root");
    WriteBytes(source / "checksum.ini", ChecksumText(package.sum, style));
    const Snapshot expected = Snap(source);
    int32_t status = RunJob();
    FUZZ_CHECK(status == STATUS_OK, "sealed package gives " + std::to_string(status));
    FUZZ_CHECK(Snap(root / "MassStorage") == expected, "the target is not an exact copy of the package");

    WriteBytes(source / "checksum.ini", ChecksumText(static_cast<uint16_t>(package.sum + 1), style));
    status = RunJob();
    FUZZ_CHECK(status == STATUS_CHECKSUM_FAILED, "sum off by one gives " + std::to_string(status));
    FUZZ_CHECK(Snap(root / "MassStorage") == Snap(source), "the target is not an exact copy of the package");
    HostSetDeviceRoot(nullptr);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
