#include "LoopbackHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>

LoopbackHttpServer::LoopbackHttpServer()
{
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return;
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, SOMAXCONN) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        ::closesocket(listener);
        return;
    }
    listener_ = listener;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ != INVALID_SOCKET)
        ::closesocket(listener_);
    ::WSACleanup();
}

void LoopbackHttpServer::Serve(const std::string& path, Reply reply)
{
    std::lock_guard<std::mutex> guard(lock_);
    replies_[path] = std::move(reply);
}

void LoopbackHttpServer::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    replies_.clear();
    requests_.clear();
}

std::wstring LoopbackHttpServer::Url(const std::string& path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end());
}

std::vector<std::string> LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void LoopbackHttpServer::Run()
{
    // select with a short time-out, so that the destructor's flag ends the thread without closing
    // the socket under a blocked accept.
    while (!stop_)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait{0, 50000};
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET client = ::accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        // A connection of its own thread: a stalled answer must not hold up the next request.
        answering_.emplace_back([this, client] { Answer(client); });
    }
    for (std::thread& answer : answering_)
        answer.join();
}

namespace
{
bool SendAll(SOCKET socket, const char* data, size_t size)
{
    while (size > 0)
    {
        const int sent = ::send(socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}
} // namespace

void LoopbackHttpServer::Answer(SOCKET client)
{
    DWORD timeoutMs = 2000; // a client that never closes must not hold up the next request
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536)
    {
        const int received = ::recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0)
            break;
        request.append(buffer, static_cast<size_t>(received));
    }
    // "GET <path> HTTP/1.1"
    const size_t first = request.find(' ');
    const size_t second = first == std::string::npos ? std::string::npos : request.find(' ', first + 1);
    const std::string path =
        second == std::string::npos ? std::string() : request.substr(first + 1, second - first - 1);

    Reply reply;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(path);
        const auto it = replies_.find(path);
        if (it != replies_.end())
        {
            reply = it->second;
            found = true;
        }
    }
    if (!found)
        reply.status = 404;
    const std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + (reply.status / 100 == 2 ? " OK" : " Failed") + "\r\n" +
        "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(reply.body.size()) +
        "\r\nConnection: close\r\n\r\n";
    const size_t bodyBytes = reply.ending == Ending::Complete ? reply.body.size() : reply.body.size() / 2;
    if (SendAll(client, head.data(), head.size()))
        SendAll(client, reply.body.data(), bodyBytes);
    if (reply.ending == Ending::Stall)
    {
        // Until the client closes its end (recv gives 0 or fails once the socket is gone) or the server ends.
        DWORD sliceMs = 100;
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&sliceMs), sizeof(sliceMs));
        const ULONGLONG until = reply.stallMs == 0 ? ~0ull : ::GetTickCount64() + reply.stallMs;
        while (!stop_ && ::GetTickCount64() < until)
        {
            const int received = ::recv(client, buffer, sizeof(buffer), 0);
            if (received == 0 || (received < 0 && ::WSAGetLastError() != WSAETIMEDOUT))
                break;
        }
    }
    else if (reply.ending == Ending::Reset)
    {
        linger abort{1, 0}; // closing with a zero linger time sends a reset instead of a normal end
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
    }
    else
    {
        ::shutdown(client, SD_SEND);
        // Let the client read to the end before the socket goes.
        while (::recv(client, buffer, sizeof(buffer), 0) > 0)
        {
        }
    }
    ::closesocket(client);
}
