#pragma once
// A plain HTTP/1.1 server on 127.0.0.1 with an ephemeral port, serving fixed bodies by path from
// its own thread, one request per connection, each connection answered on a thread of its own. Enough for WinINet to talk to in tests.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackHttpServer
{
  public:
    enum class Ending
    {
        Complete,    // the whole body, then a normal close
        ClosedEarly, // half the body under the full Content-Length, then a normal close
        Reset,       // half the body, then a connection reset
        Stall,       // half the body, then nothing until the client goes (or the server ends)
    };
    struct Reply
    {
        std::string body;
        Ending ending = Ending::Complete;
        int status = 200; // the status line's code; its reason phrase is made up from it
        DWORD stallMs = 0; // Stall: at most this long (0: until the client goes), then a reset
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    [[nodiscard]] bool Running() const
    {
        return listener_ != INVALID_SOCKET;
    }
    // Replaces what path answers; unknown paths answer 404 with an empty body.
    void Serve(const std::string& path, Reply reply);
    void Clear();
    [[nodiscard]] std::wstring Url(const std::string& path) const;
    // The paths requested so far, in order.
    [[nodiscard]] std::vector<std::string> Requests() const;

  private:
    void Run();
    void Answer(SOCKET client);

    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> requests_;
    std::vector<std::thread> answering_; // touched by the server's own thread only
    std::thread thread_;
};
