#pragma once

// A full disk for this process: while it lives, every write to a regular file fails with EFBIG
// (RLIMIT_FSIZE 0), as writes to a full disk fail with ENOSPC. SIGXFSZ is ignored meanwhile, so
// the write returns its error instead of ending the process. Pipes and terminals are not files,
// so the test's own output goes on.
#include <csignal>
#include <sys/resource.h>

class FileSizeLimit {
public:
    FileSizeLimit() {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        active_ = ::setrlimit(RLIMIT_FSIZE, &none) == 0;
        savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, savedHandler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
    bool active_ = false;
};
