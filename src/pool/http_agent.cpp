#include "src/pool/http_agent.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <curl/curl.h>

namespace {

constexpr long CONNECT_TIMEOUT_MS = 30'000;
constexpr long MAX_REDIRECTS = 5;
constexpr std::size_t MAX_IDLE_HANDLES = 1;

void global_init_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Download {
    std::string body;
    bool over_limit = false;
};

std::size_t collect_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto& download = *static_cast<Download*>(user);
    const std::size_t length = size * count;
    if (download.body.size() + length > MAX_BODY_BYTES) {
        download.over_limit = true;
        download.body.clear();
        return 0;  // stops the transfer; nothing more is read into memory
    }
    download.body.append(data, length);
    return length;
}

// libcurl's socket hooks, with the agent's socket list as their data.
curl_socket_t open_socket(void* sockets, curlsocktype, curl_sockaddr* address) {
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    if (!static_cast<HttpAgent::Sockets*>(sockets)->add(fd)) {
        ::close(fd);
        return CURL_SOCKET_BAD;
    }
    return fd;
}

int close_socket(void* sockets, curl_socket_t fd) {
    static_cast<HttpAgent::Sockets*>(sockets)->remove(fd);
    return ::close(fd);
}

// Also stops a transfer that has no socket yet (a name being resolved).
int abort_if_asked(void* sockets, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<HttpAgent::Sockets*>(sockets)->aborted() ? 1 : 0;
}

// Settings that stay on a handle between calls.
void configure(CURL* curl, long total_timeout_ms, HttpAgent::Sockets* sockets) {
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, total_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never a proxy from the environment
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "ureq/2.12.1");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, open_socket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, sockets);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, close_socket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, sockets);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abort_if_asked);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, sockets);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    // A cut-off or timed-out transfer leaves a name lookup still running
    // behind instead of waiting for it: a slow resolver must not hold up the
    // shutdown.
    curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
}

std::string failure_text(CURLcode code, const char* detail) {
    return detail[0] != '\0' ? std::string(detail) : std::string(curl_easy_strerror(code));
}

// A failure after the final answer's status line, while its body was read.
// (A redirect whose follow-up failed is no final answer.)
bool failed_while_reading_body(CURLcode code, long status) {
    const bool final_status = status >= 200 && (status < 300 || status >= 400);
    return final_status && (code == CURLE_WRITE_ERROR || code == CURLE_PARTIAL_FILE || code == CURLE_RECV_ERROR ||
                            code == CURLE_OPERATION_TIMEDOUT || code == CURLE_BAD_CONTENT_ENCODING);
}

}  // namespace

bool HttpAgent::Sockets::add(int socket) {
    std::lock_guard lock(lock_);
    if (aborted_) return false;
    open_.insert(socket);
    return true;
}

void HttpAgent::Sockets::remove(int socket) {
    std::lock_guard lock(lock_);
    open_.erase(socket);
}

void HttpAgent::Sockets::abort() {
    // Under the lock, so that no listed socket is closed (and its number
    // reused) while it is shut down.
    std::lock_guard lock(lock_);
    aborted_ = true;
    for (const int socket : open_) ::shutdown(socket, SHUT_RDWR);
}

HttpAgent::HttpAgent(std::chrono::milliseconds total_timeout) : total_timeout_(total_timeout) { global_init_once(); }

HttpAgent::~HttpAgent() {
    for (void* handle : idle_) curl_easy_cleanup(static_cast<CURL*>(handle));
}

void* HttpAgent::acquire_handle() {
    {
        std::lock_guard lock(idle_lock_);
        if (!idle_.empty()) {
            void* handle = idle_.back();
            idle_.pop_back();
            return handle;
        }
    }
    CURL* curl = curl_easy_init();
    if (curl != nullptr) configure(curl, static_cast<long>(total_timeout_.count()), &sockets_);
    return curl;
}

void HttpAgent::release_handle(void* handle) {
    {
        std::lock_guard lock(idle_lock_);
        if (idle_.size() < MAX_IDLE_HANDLES) {
            idle_.push_back(handle);
            return;
        }
    }
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

void HttpAgent::abort_transfers() { sockets_.abort(); }

std::variant<HttpResponse, HttpFailure> HttpAgent::post_json(const std::string& url, const std::string& body,
                                                             std::optional<std::chrono::milliseconds> time_limit) {
    if (sockets_.aborted()) return HttpFailure{TRANSFER_ABORTED};
    auto* curl = static_cast<CURL*>(acquire_handle());
    if (curl == nullptr) return HttpFailure{"cannot create an HTTP handle"};

    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: */*");
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    Download download;
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    // 0 would mean no limit at all: a limit is at least 1 ms.
    const auto timeout = time_limit ? std::clamp(*time_limit, std::chrono::milliseconds(1), total_timeout_) : total_timeout_;
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long request_bytes = 0;  // what was written of the requests, headers and body
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &request_bytes);
    const bool request_sent = request_bytes > 0;

    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_slist_free_all(headers);
    const std::string text = code == CURLE_OK ? "" : failure_text(code, detail);
    // A handle whose transfer failed may hold a broken connection; drop it.
    if (code == CURLE_OK)
        release_handle(curl);
    else
        curl_easy_cleanup(curl);

    if (code != CURLE_OK && sockets_.aborted()) return HttpFailure{TRANSFER_ABORTED, request_sent};
    if (download.over_limit)
        return HttpResponse{status, "", "body longer than " + std::to_string(MAX_BODY_BYTES) + " bytes"};
    if (code != CURLE_OK) {
        if (failed_while_reading_body(code, status)) return HttpResponse{status, "", text};
        return HttpFailure{text, request_sent};
    }
    return HttpResponse{status, std::move(download.body), std::nullopt};
}
