// The tool's commands run in the test's own process, where its call tables
// (ToolPlatform.h) are the test's to hook: Main with its output
// captured, or (Linux) Main in a forked child that says when it reached the
// point the test waits for, through a pipe: never the clock.
#ifndef PELK_IN_PROCESS_TOOL_H
#define PELK_IN_PROCESS_TOOL_H

#if !defined(_WIN32)
#  include <fcntl.h>
#  include <poll.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <functional>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceFixture.h"
#include "ToolPlatform.h"
#include "Rows.h"

// A package of the card tests: a tile, a small one, an empty file, a text.
inline const std::vector<PackageFile> kCardPackage = {
    {"PreDLVerno.ini", "[Version]\r\nMap=2027.01\r\n"},
    {"Map/Europe/DE.map", PatternBytes(90001, 1)},
    {"Map/Europe/FR.map", PatternBytes(1025, 2)},
    {"Map/Europe/empty.idx", ""},
    {"Poi/fuel.csv", "id;name\r\n"},
};

class InProcessTest : public DeviceTest {
protected:
    void TearDown() override
    {
        tool::g_fileCalls = tool::kFileCalls;
        tool::g_volumeCalls = tool::kVolumeCalls;
        DeviceTest::TearDown();
    }

    // Main here, its stdout and stderr in out_ and err_; the test's folder
    // is the current one again after it.
    int Tool(const std::vector<std::string>& arguments)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = tool::Main(arguments);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        fs::current_path(Root());
        return code;
    }

    // files as a package in folder/PreDLMap, sealed.
    void Sealed(const std::string& folder, const std::vector<PackageFile>& files)
    {
        for (const PackageFile& file : files) WriteFile(folder + "/PreDLMap/" + file.path, file.bytes);
        ASSERT_EQ(Tool({"seal", folder + "/PreDLMap"}), 0) << err_;
    }

    std::string out_, err_;
};

#if !defined(_WIN32)
// A pipe, both ends closed with it.
class Pipe {
public:
    Pipe()
    {
        if (pipe(ends_) != 0) ends_[0] = ends_[1] = -1;
    }
    ~Pipe()
    {
        for (int end : ends_)
            if (end >= 0) close(end);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // In the test, once the child is started: the child alone writes, so
    // its end is the pipe's end.
    void Started()
    {
        close(ends_[1]);
        ends_[1] = -1;
    }

protected:
    int ends_[2] = {-1, -1};
};

// The point a child reached, said through a pipe.
class Moment : public Pipe {
public:
    // In the child, at the point.
    void Say() const { (void)!write(ends_[1], "!", 1); }
    // In the test; false (a failure) when the child ended first or said
    // nothing for two minutes: hung, not slow.
    bool Await() const
    {
        struct pollfd ready = {ends_[0], POLLIN, 0};
        char byte = 0;
        const bool said = poll(&ready, 1, 120 * 1000) == 1 && read(ends_[0], &byte, 1) == 1;
        EXPECT_TRUE(said) << "the child never reached its moment";
        return said;
    }
};

// A gate a child's hook waits at until the test opens it, once a pass.
class Gate : public Pipe {
public:
    // In the child: false once the test is gone.
    bool Pass() const
    {
        char byte = 0;
        return read(ends_[0], &byte, 1) == 1;
    }
    // In the test: lets count passes through.
    void Open(int count) const
    {
        const std::string bytes(static_cast<size_t>(count), 'g');
        ASSERT_EQ(write(ends_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

// What a child writes to a descriptor of its own, read by the test line by
// line as it comes: what the test follows, never the clock.
class Transcript : public Pipe {
public:
    // In the child: fd writes into the transcript.
    void Into(int fd) const
    {
        dup2(ends_[1], fd);
        close(ends_[0]);
    }
    // The next line; false at its end. A child silent for two minutes has
    // hung: the test fails rather than waits for ever.
    bool NextLine(std::string* line)
    {
        line->clear();
        for (char byte = 0;;) {
            struct pollfd ready = {ends_[0], POLLIN, 0};
            if (poll(&ready, 1, 120 * 1000) <= 0) {
                ADD_FAILURE() << "nothing said for two minutes; so far:\n" << seen;
                return false;
            }
            if (read(ends_[0], &byte, 1) != 1) return false;
            seen += byte;
            if (byte == '\n') return true;
            *line += byte;
        }
    }

    // Reads lines until each of the texts was in one; false when the
    // transcript ended first.
    bool WaitFor(std::vector<std::string> texts)
    {
        std::string line;
        while (!texts.empty() && NextLine(&line)) {
            for (auto text = texts.begin(); text != texts.end();)
                text = line.find(*text) != std::string::npos ? texts.erase(text) : text + 1;
        }
        EXPECT_TRUE(texts.empty()) << "never said: " << texts.front() << "\n" << seen;
        return texts.empty();
    }

    // Every line to the end (the child's).
    void ReadToTheEnd()
    {
        std::string line;
        while (NextLine(&line)) {
        }
    }

    std::string seen; // every byte read so far
};

// Main in a child of this process, stdout and stderr to the files named
// (relative to the current folder; empty: /dev/null), once setup has put
// the child's hooks in place. Its process id.
inline pid_t ForkMain(const std::vector<std::string>& arguments, const std::string& out, const std::string& err,
                      const std::function<void()>& setup = {})
{
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child != 0) return child;
    const auto to = [](const std::string& file, int fd) {
        const int opened = open(file.empty() ? "/dev/null" : file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (opened < 0 || dup2(opened, fd) < 0) _exit(127);
    };
    to(out, 1);
    to(err, 2);
    if (setup) setup();
    const int code = tool::Main(arguments);
    fflush(stdout);
    _exit(code);
}

// A child's exit code once it has ended; -1 if a signal ended it.
inline int Reaped(pid_t child)
{
    int status = 0;
    if (child <= 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

#endif
