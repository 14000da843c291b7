// The files the tool reads and writes, on the platform's table of calls
// (ToolPlatform.h): one path for every command and every card, so a test that
// fails a call fails it wherever the tool makes it.
#include "ToolPlatform.h"

namespace fs = std::filesystem;

namespace tool {

std::string FailureText(int error)
{
    if (!IsDamaged(error)) return ErrorText(error);
    return ErrorText(error) + " (a damaged file system, or a card locked against writing: repair it with "
                              "fsck.fat -a, run until it finds nothing, or chkdsk /f; or unlock it; then write "
                              "again)";
}

bool Checked(int error, std::string* why)
{
    if (error == 0) return true;
    *why = FailureText(error);
    return false;
}

InputFile::~InputFile() { Close(); }

bool InputFile::Open(Handle folder, const fs::path& file, ReadMode mode, std::string* why)
{
    Close();
    return Checked(g_fileCalls.open(folder, file, mode == ReadMode::FromTheVolume ? OpenAs::ReadFromVolume
                                                                                : OpenAs::ReadCached,
                                  &handle_),
                 why);
}

long long InputFile::Read(ChunkBuffer* buffer, std::string* why)
{
    size_t got = 0;
    while (got < ChunkBuffer::kBytes) {
        size_t count = 0;
        if (!Checked(g_fileCalls.read(handle_, buffer->Data() + got, ChunkBuffer::kBytes - got, &count), why))
            return -1;
        if (count == 0) break;
        got += count;
        // A short unbuffered read on Windows is the file's end: the next
        // would start off a sector boundary.
        if (count % 4096 != 0) break;
    }
    return static_cast<long long>(got);
}

void InputFile::Close()
{
    if (handle_ != kNoHandle) g_fileCalls.close(handle_);
    handle_ = kNoHandle;
}

OutputFile::~OutputFile()
{
    if (handle_ != kNoHandle) g_fileCalls.close(handle_);
}

bool OutputFile::Create(Handle folder, const fs::path& file, std::string* why)
{
    return Checked(g_fileCalls.open(folder, file, OpenAs::CreateNew, &handle_), why);
}

bool OutputFile::Write(const void* bytes, size_t count, std::string* why)
{
    const char* next = static_cast<const char*>(bytes);
    while (count) {
        const size_t piece = count > 0x40000000 ? 0x40000000 : count;
        size_t written = 0;
        if (!Checked(g_fileCalls.write(handle_, next, piece, &written), why)) return false;
        if (written == 0) {
            *why = "the volume took no bytes";
            return false;
        }
        next += written;
        count -= written;
    }
    return true;
}

bool OutputFile::Sync(std::string* why)
{
    if (!Checked(g_fileCalls.sync(handle_), why)) return false;
    Drop();
    return true;
}

bool OutputFile::Close(std::string* why)
{
    const Handle handle = handle_;
    handle_ = kNoHandle;
    return Checked(g_fileCalls.close(handle), why);
}

bool SyncFolder(Handle folder, const fs::path& name, std::string* why)
{
    HeldHandle opened;
    return Checked(g_fileCalls.open(folder, name, OpenAs::Folder, opened.Out()), why) &&
           Checked(g_fileCalls.sync(opened.Get()), why);
}

bool SyncFolder(const fs::path& folder, std::string* why) { return SyncFolder(kNoFolder, folder, why); }

bool RenameOver(const fs::path& from, const fs::path& to, std::string* why)
{
    return Checked(g_fileCalls.rename(kNoFolder, from, to, RenameAs::Replace), why);
}

} // namespace tool
