#include "Manifest.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {

bool DigestFile(const fs::path& file, ReadMode mode, FileDigest* digest, std::string* why,
                const std::function<void(uint64_t)>& progress)
{
    return DigestFile(kNoFolder, file, mode, digest, why, progress);
}

bool DigestFile(Handle folder, const fs::path& file, ReadMode mode, FileDigest* digest, std::string* why,
                const std::function<void(uint64_t)>& progress)
{
    InputFile input;
    if (!input.Open(folder, file, mode, why)) return false;
    // One buffer per thread: a worker per card reads at the same time.
    thread_local ChunkBuffer buffer;
    Sha256 hash;
    FileDigest result;
    for (;;) {
        const long long got = input.Read(&buffer, why);
        if (got < 0) return false;
        if (got == 0) break;
        const size_t count = static_cast<size_t>(got);
        hash.Add(buffer.Data(), count);
        // Every chunk but the last is whole words, so the sums add up.
        result.sum = AddBytesToSum(result.sum, buffer.Words(), count);
        result.bytes += count;
        if (progress) progress(count);
    }
    result.sha256 = hash.Finish();
    if (result.sha256.empty()) {
        *why = "the system's SHA-256 failed";
        return false;
    }
    *digest = result;
    return true;
}

std::function<bool(const fs::path&, const fs::path&, uint16_t*)> DigestingReader(Manifest* into)
{
    return [into](const fs::path& host, const fs::path& relative, uint16_t* sum) {
        FileDigest digest;
        std::string why;
        if (!DigestFile(host.empty() ? relative : host, ReadMode::Cached, &digest, &why)) return false;
        (*into)[ManifestPath(relative)] = digest.sha256;
        *sum = digest.sum;
        return true;
    };
}

std::string ManifestPath(const fs::path& relative)
{
#if defined(_WIN32)
    std::string path;
    try {
        path = relative.generic_u8string();
    } catch (const std::exception&) {
        path = "(unprintable name)";
    }
    return path;
#else
    return relative.generic_string();
#endif
}

fs::path PathOfManifest(const std::string& path)
{
#if defined(_WIN32)
    return fs::u8path(path).make_preferred();
#else
    return fs::path(path);
#endif
}

std::string FormatManifest(const Manifest& manifest)
{
    std::string text;
    for (const auto& [path, sha256] : manifest) {
        const bool escaped = path.find_first_of("\\\n") != std::string::npos;
        if (escaped) text += '\\';
        text += sha256 + "  ";
        for (char c : path) {
            if (c == '\\') text += "\\\\";
            else if (c == '\n') text += "\\n";
            else text += c;
        }
        text += '\n';
    }
    return text;
}

bool ParseManifest(const std::string& text, Manifest* manifest, std::string* why)
{
    Manifest parsed;
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const bool escaped = line[0] == '\\';
        const std::string rest = escaped ? line.substr(1) : line;
        bool hex = rest.size() > 66;
        for (size_t i = 0; hex && i < 64; ++i) hex = isxdigit(static_cast<unsigned char>(rest[i])) != 0;
        if (!hex || rest[64] != ' ' || (rest[65] != ' ' && rest[65] != '*')) {
            *why = "line " + std::to_string(number) + " is no sha256sum line";
            return false;
        }
        std::string path;
        for (size_t i = 66; i < rest.size(); ++i) {
            if (escaped && rest[i] == '\\' && i + 1 < rest.size()) {
                const char next = rest[++i];
                path += next == 'n' ? '\n' : next;
            } else {
                path += rest[i];
            }
        }
        std::string sha256 = rest.substr(0, 64);
        for (char& c : sha256) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        parsed[path] = sha256;
    }
    *manifest = parsed;
    return true;
}

fs::path ManifestBeside(const fs::path& packageFolder)
{
    std::error_code error;
    fs::path folder = fs::absolute(packageFolder, error).lexically_normal();
    if (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    if (!folder.has_filename() || !folder.has_relative_path()) return fs::path();
    fs::path name = folder.filename();
    name += ".sha256";
    return folder.parent_path() / name;
}

bool ReadManifestFile(const fs::path& file, Manifest* manifest, bool* present, std::string* why)
{
    std::error_code error;
    *present = fs::is_regular_file(file, error);
    if (!*present) return true;
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) {
        *why = "cannot be read";
        return false;
    }
    return ParseManifest(bytes.str(), manifest, why);
}

bool WriteManifestFile(const fs::path& file, const std::string& text, std::string* why)
{
    fs::path fresh = file;
    fresh += ".new";
    std::error_code ignored;
    fs::remove(fresh, ignored); // a leftover of a write that was killed
    OutputFile output;
    if (!output.Create(fresh, why)) return false;
    const bool written = output.Write(text.data(), text.size(), why) && output.Sync(why);
    if (!output.Close(why) || !written || !RenameOver(fresh, file, why)) {
        fs::remove(fresh, ignored);
        return false;
    }
    return true;
}

ManifestDifference CompareManifests(const Manifest& sealed, const Manifest& now)
{
    ManifestDifference difference;
    for (const auto& [path, sha256] : now) {
        const auto found = sealed.find(path);
        if (found == sealed.end()) difference.added.push_back(path);
        else if (found->second != sha256) difference.changed.push_back(path);
    }
    for (const auto& entry : sealed)
        if (!now.count(entry.first)) difference.missing.push_back(entry.first);
    return difference;
}

std::vector<std::string> DifferenceLines(const ManifestDifference& difference, size_t shown)
{
    std::vector<std::string> lines;
    const auto add = [&](const std::vector<std::string>& paths, const char* what) {
        for (const std::string& path : paths)
            if (lines.size() < shown) lines.push_back(std::string(what) + ": " + path);
    };
    add(difference.changed, "changed");
    add(difference.added, "added");
    add(difference.missing, "missing");
    const size_t total = difference.Count();
    if (total > lines.size())
        lines.push_back("... and " + std::to_string(total - lines.size()) + " more (" +
                        std::to_string(difference.changed.size()) + " changed, " +
                        std::to_string(difference.added.size()) + " added, " +
                        std::to_string(difference.missing.size()) + " missing)");
    return lines;
}

} // namespace tool
