#include "transfer/TransferWorker.h"

#include "platform/dispatch/Queue.h"

TransferWorker::~TransferWorker() {
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void TransferWorker::run(std::function<bool()> job, std::function<void(bool ok)> done, bool reportSuccess) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_live) m_live = std::make_shared<bool>(true);
        m_jobs.push_back({std::move(job), std::move(done), reportSuccess});
        // Started at the first job, so a transfer that never moves a byte costs no thread.
        if (!m_thread.joinable()) m_thread = std::thread([this] { threadMain(); });
    }
    m_wake.notify_one();
}

bool TransferWorker::hasWaitingJobs() {
    std::lock_guard lock(m_mutex);
    return !m_jobs.empty();
}

void TransferWorker::finish() {
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return !m_running && m_jobs.empty(); });
    }
    stop();
}

void TransferWorker::stop() {
    {
        std::unique_lock lock(m_mutex);
        m_jobs.clear();
        m_idle.wait(lock, [this] { return !m_running; });
        // Results already on their way find their token cleared (read on the main thread only)
        // and do nothing.
        if (m_live) *m_live = false;
        m_live.reset();
    }
}

void TransferWorker::threadMain() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_quit) return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        // The token is read under the lock: stop() cannot clear it between here and the post.
        std::shared_ptr<bool> live = m_live;
        m_running = true;
        lock.unlock();
        const bool ok = job.work();
        // What the job held goes before stop() may return.
        job.work = nullptr;
        if (job.done && (!ok || job.reportSuccess)) {
            dispatch::Queue::main()->async([live, ok, done = std::move(job.done)] {
                if (!live || !*live) return;
                done(ok);
            });
        }
        job.done = nullptr;
        lock.lock();
        // A failed job ends the run: nothing after it may act on what it left undone.
        if (!ok) m_jobs.clear();
        m_running = false;
        m_idle.notify_all();
    }
}
