// vela_extcap_pipe: Wireshark's side of a live capture on Windows, for the package check under
// Wine, where no Windows Wireshark runs. As Wireshark does, it makes a named pipe, starts the
// capture program with --fifo naming it, reads the capture from it for a while, then ends the
// capture by closing its end of the pipe, and waits for the program to end.
//
//   vela_extcap_pipe OUTPUT SECONDS PROGRAM [ARGUMENTS...]
//
// Writes what it read into OUTPUT and says how the program ended; exit 0 when the program
// connected, wrote a capture and ended by itself with status 0 within 30 s of the pipe's close.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string quoted(const std::string& argument) {
    std::string text(1, '"');
    for (char c : argument) {
        if (c == '"')
            text += '\\';
        text += c;
    }
    text += '"';
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: vela_extcap_pipe OUTPUT SECONDS PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const std::string output = argv[1];
    const DWORD milliseconds = static_cast<DWORD>(std::atof(argv[2]) * 1000);
    const std::string pipeName =
        "\\\\.\\pipe\\wireshark_extcap_vela-sim_" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                   300, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vela_extcap_pipe: cannot make %s (%lu)\n", pipeName.c_str(),
                     GetLastError());
        return 1;
    }
    std::string command = quoted(argv[3]);
    for (int i = 4; i < argc; ++i) {
        command += ' ';
        command += quoted(argv[i]);
    }
    command += " --fifo ";
    command += quoted(pipeName);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "vela_extcap_pipe: cannot start %s (%lu)\n", argv[3], GetLastError());
        return 1;
    }
    // The program connects to the pipe; Wireshark waits up to 30 s for it.
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ConnectNamedPipe(pipe, &overlapped)) {
        const DWORD why = GetLastError();
        if (why == ERROR_IO_PENDING) {
            HANDLE waits[2] = {overlapped.hEvent, process.hProcess};
            if (WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0) {
                std::fprintf(stderr, "vela_extcap_pipe: the program did not open the pipe\n");
                TerminateProcess(process.hProcess, 1);
                return 1;
            }
        } else if (why != ERROR_PIPE_CONNECTED) {
            std::fprintf(stderr, "vela_extcap_pipe: no connection (%lu)\n", why);
            TerminateProcess(process.hProcess, 1);
            return 1;
        }
    }
    std::FILE* out = std::fopen(output.c_str(), "wb");
    std::size_t total = 0;
    const DWORD begun = GetTickCount();
    std::vector<char> buffer(65536);
    while (GetTickCount() - begun < milliseconds) {
        ResetEvent(overlapped.hEvent);
        DWORD got = 0;
        if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                      &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            break;
        const DWORD left = milliseconds - (GetTickCount() - begun);
        if (WaitForSingleObject(overlapped.hEvent, left) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &got, TRUE);
            if (got)
                std::fwrite(buffer.data(), 1, got, out), total += got;
            break;
        }
        if (!GetOverlappedResult(pipe, &overlapped, &got, FALSE))
            break;
        std::fwrite(buffer.data(), 1, got, out);
        total += got;
    }
    std::fclose(out);
    // The capture ends: Wireshark closes its end of the pipe.
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (waited != WAIT_OBJECT_0) {
        std::printf("read %zu bytes; the program did not end within 30 s of the pipe's close\n",
                    total);
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    std::printf("read %zu bytes; the program ended with status %lu after the pipe was closed\n",
                total, code);
    return total > 0 && code == 0 ? 0 : 1;
}
