// A static-file web server for benchmarks: a native process, so that the
// release server costs next to nothing beside a program under Wine. GET and
// HEAD of files under one folder, HTTP/1.1 with kept-alive connections, a
// thread for each connection, bodies sent with sendfile. Listens on
// 127.0.0.1 only, on a free port it prints as its first line.
//
//   file_server <folder>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string root;

bool sendAll(int socket, const std::string &text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Answers one request; false when the connection is to close.
bool answer(int socket, const std::string &head)
{
    const size_t firstSpace = head.find(' ');
    const size_t secondSpace = head.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return false;
    const std::string method = head.substr(0, firstSpace);
    std::string path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    path = path.substr(0, path.find('?'));
    const bool keepAlive = head.compare(secondSpace + 1, 8, "HTTP/1.1") == 0 &&
                           head.find("\r\nConnection: close") == std::string::npos &&
                           head.find("\r\nconnection: close") == std::string::npos;
    const std::string connection = keepAlive ? "keep-alive" : "close";

    int file = -1;
    struct stat st{};
    if ((method == "GET" || method == "HEAD") && path.rfind('/', 0) == 0 && path.find("..") == std::string::npos)
        file = open((root + path).c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0 || fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (file >= 0)
            close(file);
        return sendAll(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: " + connection +
                                   "\r\n\r\n") &&
               keepAlive;
    }
    bool ok = sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                  std::to_string(st.st_size) + "\r\nConnection: " + connection + "\r\n\r\n");
    off_t offset = 0;
    while (ok && method == "GET" && offset < st.st_size) {
        const ssize_t n = sendfile(socket, file, &offset, static_cast<size_t>(st.st_size - offset));
        ok = n > 0;
    }
    close(file);
    return ok && keepAlive;
}

void serve(int socket)
{
    const int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;
    char buffer[16384];
    for (;;) {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
            if (n <= 0 || pending.size() > 65536) {
                close(socket);
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
        }
        const std::string head = pending.substr(0, end + 2);
        pending.erase(0, end + 4);
        if (!answer(socket, head))
            break;
    }
    close(socket);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: file_server <folder>\n");
        return 2;
    }
    root = argv[1];
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("file_server");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            std::thread(serve, client).detach();
    }
}
