#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The file work of one transfer (reading, the data cipher, writing, syncing) on a thread of its
// own, so the main thread only hands chunks between the socket and this worker. Jobs run one at
// a time in the order given, which keeps the cipher chain and the file offsets in order; each
// job's result comes back on the main queue.
class TransferWorker {
public:
    TransferWorker() = default;
    // Stops first: no job runs and no result arrives after the worker is gone.
    ~TransferWorker();
    TransferWorker(const TransferWorker &) = delete;
    TransferWorker &operator=(const TransferWorker &) = delete;

    // Runs `job` on the worker thread after every job given before, then `done` with its result
    // on the main queue, unless stop() came first. A job that fails drops the jobs after it
    // (their results never come). With `reportSuccess` false, `done` hears only of a failure and
    // a job that succeeds costs the main thread nothing. Call from the main thread, or from a job
    // of another worker (which must then be stopped before this one is destroyed).
    void run(std::function<bool()> job, std::function<void(bool ok)> done, bool reportSuccess = true);
    // Drops the jobs not started, waits for the one running, and cancels every result not yet
    // delivered. Afterwards the caller owns again whatever the jobs touched. The worker takes
    // new jobs after it.
    void stop();
    // As stop(), but runs every job given first.
    void finish();
    // Worker: jobs wait behind the one running.
    bool hasWaitingJobs();

private:
    struct Job {
        std::function<bool()> work;
        std::function<void(bool)> done;
        bool reportSuccess = true;
    };
    void threadMain();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    bool m_running = false; // a job is being run outside the lock
    bool m_quit = false;
    std::thread m_thread;
    // Shared with the results on their way to the main queue; cleared by stop().
    std::shared_ptr<bool> m_live;
};
