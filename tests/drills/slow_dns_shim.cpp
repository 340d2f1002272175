// Preloaded into ovik_dtc_sim by the drills: a name resolver that turns
// slow on demand. A host name ending in ".slow-dns.test" resolves to
// 127.0.0.1; on a thread whose name starts with OVIK_TEST_SLOW_DNS_THREADS
// (a resolver thread takes the name of the thread that starts it) the
// lookup first sleeps OVIK_TEST_SLOW_DNS_MS milliseconds, as a resolver
// whose server has gone away does. Every other lookup is the system's.
#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view SLOW_DOMAIN = ".slow-dns.test";

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

GetAddrInfo system_getaddrinfo() {
    static const auto next = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next;
}

bool on_slow_thread() {
    const char* prefix = std::getenv("OVIK_TEST_SLOW_DNS_THREADS");
    if (prefix == nullptr) return false;
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string_view(name).starts_with(prefix);
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    if (node != nullptr && std::string_view(node).ends_with(SLOW_DOMAIN)) {
        if (on_slow_thread())
            if (const char* ms = std::getenv("OVIK_TEST_SLOW_DNS_MS"))
                std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(ms)));
        node = "127.0.0.1";
    }
    return system_getaddrinfo()(node, service, hints, result);
}
