// The real pelk-mapcopy program run by the tests, in a process of its own:
// Tool() runs it to its end, Launch() starts it and Await() waits for it.
#ifndef PELK_TOOL_PROCESS_H
#define PELK_TOOL_PROCESS_H

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <unistd.h>
#endif

#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "InProcessTool.h"
#include "ToolOutput.h"

#if defined(_WIN32)
inline const std::string kToolPath = BesideThisProgram(PELK_TOOL_FILE).u8string();

// One argument as CommandLineToArgvW and the C run-time split it again.
inline std::wstring Quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

#else
inline const std::string kToolPath = PELK_TOOL_PATH;
#endif

struct ToolResult {
    int code = -1;
    std::string out;
    std::string err;
};

class ToolProcessTest : public DeviceTest {
protected:
    // Runs the tool in folder (default: the test's own); stdout and stderr
    // go to files, so stderr is never a terminal.
    ToolResult Tool(const std::vector<std::string>& arguments, const fs::path& folder = {})
    {
        const fs::path out = Root() / ".tool-out";
        const fs::path err = Root() / ".tool-err";
        ToolResult result = Await(Launch(arguments, folder.empty() ? Root() : folder, out, err));
        result.out = Lines(Slurp(out));
        result.err = Lines(Slurp(err));
        fs::remove(out);
        fs::remove(err);
        return result;
    }

#if !defined(_WIN32)
    // Starts the tool in folder with stdout and stderr going to files; its
    // process id, or -1.
    pid_t Spawn(const std::vector<std::string>& arguments, const fs::path& folder, const fs::path& out,
                const fs::path& err)
    {
        std::vector<std::string> all = {kToolPath};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const std::string where = folder.string();
        pid_t child = fork();
        if (child == 0) {
            int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int nullFd = open("/dev/null", O_RDONLY);
            if (outFd < 0 || errFd < 0 || nullFd < 0 || chdir(where.c_str()) != 0) _exit(127);
            dup2(nullFd, 0);
            dup2(outFd, 1);
            dup2(errFd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return child;
    }
#endif

#if defined(_WIN32)
    // A tool started and not yet waited for.
    struct Running {
        unsigned long pid = 0;
        HANDLE process = nullptr;
    };

    Running Launch(const std::vector<std::string>& arguments, const fs::path& where, const fs::path& out,
                   const fs::path& err)
    {
        Running running;
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        const auto create = [&](const wchar_t* path, DWORD access, DWORD disposition) {
            return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        HANDLE input = create(L"NUL", GENERIC_READ, OPEN_EXISTING);
        HANDLE output = create(out.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
        HANDLE errors = create(err.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
        const fs::path tool = U8Path(kToolPath);
        std::wstring line = Quoted(tool.wstring());
        for (const std::string& argument : arguments) line += L" " + Quoted(U8Path(argument).wstring());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output;
        startup.hStdError = errors;
        PROCESS_INFORMATION process = {};
        const bool started = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
                             errors != INVALID_HANDLE_VALUE &&
                             CreateProcessW(tool.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                            where.c_str(), &startup, &process);
        EXPECT_TRUE(started) << "cannot start " << kToolPath << ": error " << GetLastError();
        for (HANDLE handle : {input, output, errors})
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (!started) return running;
        CloseHandle(process.hThread);
        running.pid = process.dwProcessId;
        running.process = process.hProcess;
        return running;
    }

    ToolResult Await(const Running& running)
    {
        ToolResult result;
        if (!running.process) return result;
        EXPECT_EQ(WaitForSingleObject(running.process, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(running.process, &code));
        result.code = static_cast<int>(code);
        CloseHandle(running.process);
        return result;
    }
#else
    struct Running {
        pid_t pid = -1;
    };

    Running Launch(const std::vector<std::string>& arguments, const fs::path& where, const fs::path& out,
                   const fs::path& err)
    {
        return Running{Spawn(arguments, where, out, err)};
    }

    ToolResult Await(const Running& running)
    {
        ToolResult result;
        result.code = Reaped(running.pid);
        return result;
    }
#endif
};

#endif
