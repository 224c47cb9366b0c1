#include "bench/loopback_floor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace hmbench {

namespace {

bool SendAll(int fd, const unsigned char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::send(fd, data, count, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, unsigned char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::recv(fd, data, count, MSG_WAITALL);
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

double LoopbackPingPongSeconds(int rounds, size_t requestBytes, size_t replyBytes) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener);
    return -1;
  }
  std::thread answerer([listener, rounds, requestBytes, replyBytes] {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    NoDelay(fd);
    std::vector<unsigned char> request(requestBytes), reply(replyBytes, 0x5A);
    for (int i = 0; i < rounds; ++i) {
      if (!ReceiveAll(fd, request.data(), requestBytes) ||
          !SendAll(fd, reply.data(), replyBytes))
        break;
    }
    ::close(fd);
  });
  double seconds = -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    NoDelay(fd);
    std::vector<unsigned char> request(requestBytes, 0xA5), reply(replyBytes);
    const auto start = std::chrono::steady_clock::now();
    int done = 0;
    for (; done < rounds; ++done) {
      if (!SendAll(fd, request.data(), requestBytes) ||
          !ReceiveAll(fd, reply.data(), replyBytes))
        break;
    }
    if (done == rounds)
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (fd >= 0) ::close(fd);
  ::shutdown(listener, SHUT_RDWR);  // wakes an accept that never got its peer
  answerer.join();
  ::close(listener);
  return seconds;
}

}  // namespace hmbench

