// An unbounded multi-producer, single-consumer channel with a blocking
// receive that also wakes up when every sender has gone, and a timed one for
// a receiver that has other things to watch while it waits.  A mutex and a
// condition variable over a deque; the portfolio's workers send their
// answers on it and the calling thread receives the first (portfolio.cpp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace nv {

template <class T>
class Channel {
public:
    explicit Channel(size_t senders) : senders_(senders) {}

    void send(T value) {
        std::lock_guard<std::mutex> g(m_);
        q_.push_back(std::move(value));
        cv_.notify_one();
    }

    void drop_sender() {
        std::lock_guard<std::mutex> g(m_);
        if (senders_ > 0) --senders_;
        cv_.notify_one();
    }

    // The first message, or nothing once every sender is gone without one.
    std::optional<T> recv() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return !q_.empty() || senders_ == 0; });
        if (q_.empty()) return std::nullopt;
        T v = std::move(q_.front());
        q_.pop_front();
        return v;
    }

    // Like recv(), waiting at most `limit`; `timed_out` tells a wait that
    // ended with neither a message nor the last sender gone.
    std::optional<T> recv_for(std::chrono::milliseconds limit, bool& timed_out) {
        std::unique_lock<std::mutex> g(m_);
        timed_out = !cv_.wait_for(g, limit, [&] { return !q_.empty() || senders_ == 0; });
        if (q_.empty()) return std::nullopt;
        T v = std::move(q_.front());
        q_.pop_front();
        return v;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<T> q_;
    size_t senders_;
};

}  // namespace nv
