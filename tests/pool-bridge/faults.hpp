// The scripted faults, consumed in command-line order.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "tests/pool-bridge/options.hpp"

// What a request asks for, as far as the faults care; a body that is no
// JSON-RPC call is `other`.
enum class RequestKind { getwork, submit, other };

class FaultQueue {
public:
    explicit FaultQueue(std::vector<Fault> faults) : faults_(faults.begin(), faults.end()) {}

    // The fault for this request, counted against the first fault's count
    // when its method matches; nullopt: serve the request normally.
    std::optional<Fault> take(RequestKind kind) {
        std::lock_guard lock(mutex_);
        if (faults_.empty()) return std::nullopt;
        Fault& head = faults_.front();
        const bool matches = head.method == FaultMethod::any ||
                             (head.method == FaultMethod::getwork && kind == RequestKind::getwork) ||
                             (head.method == FaultMethod::submit && kind == RequestKind::submit);
        if (!matches) return std::nullopt;
        Fault taken = head;
        if (head.count && --*head.count == 0) faults_.pop_front();
        return taken;
    }

    // Drops every fault left: the pool is healthy from now on.
    void clear() {
        std::lock_guard lock(mutex_);
        faults_.clear();
    }

private:
    std::mutex mutex_;
    std::deque<Fault> faults_;
};
