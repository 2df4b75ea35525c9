#pragma once

#include <mutex>

namespace dravelin {

// The stop switch of one generation, shared by the GUI thread (which sets it)
// and the generating thread (which reads it after every step).
class CancelFlag {
public:
    void set() {
        std::lock_guard lock(lock_);
        value_ = true;
    }
    bool value() const {
        std::lock_guard lock(lock_);
        return value_;
    }

private:
    mutable std::mutex lock_;
    bool value_ = false;
};

} // namespace dravelin
