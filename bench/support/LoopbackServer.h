// The HTTP server of the request benchmarks: a child process serving keep-alive HTTP, or HTTPS
// with a given certificate, on 127.0.0.1 (a free port), so that its threads and its memory stay
// out of the measured process. Every client in a run talks to the same server and gets the same
// bodies:
//     GET  /get/1k    1,024 bytes
//     GET  /get/64k   65,536 bytes
//     GET  /get/vm_list  the VM list of VmList.h, gzip when the request offers it
//     POST /post      the request body's length in decimal
// Construct it before the process starts any thread (it forks); the destructor stops it. It
// pins the process, and so the server, to one CPU first (VSBENCH_PIN=0 leaves the affinity
// alone; see PinToOneCpu for why).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class LoopbackServer {
public:
    // The server's certificate chain and private key, PEM files.
    struct TlsIdentity {
        std::string certFile;
        std::string keyFile;
    };

    LoopbackServer();                                 // HTTP
    explicit LoopbackServer(const TlsIdentity& tls);  // HTTPS (TLS 1.2 or later)
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_nPort; }

    static constexpr size_t kSmallBody = 1024;
    static constexpr size_t kLargeBody = 64 * 1024;

private:
    void Start(const TlsIdentity* tls);

    pid_t m_nPid = -1;
    int m_nPort = -1;
};
