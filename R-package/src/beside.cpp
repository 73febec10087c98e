// The worker thread of a network() call and the R thread's wait for it.
#include "beside.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <string_view>
#include <thread>

namespace {

constexpr std::chrono::milliseconds kSlice{40};

// What the worker and the R thread share.
struct Shared {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;                  // under lock
    std::vector<std::string> warnings;  // under lock
    std::atomic<bool> cancel{false};
    std::atomic<double> share{0};       // of the sweep; 1 once the edges are being selected
    assocnet::Result result;            // the worker's until done
    std::exception_ptr failure;         // likewise
};

void work(Shared& s, const assocnet::Data& data, const assocnet::Options& options)
{
    assocnet::Callbacks callbacks;
    callbacks.cancel = &s.cancel;
    callbacks.progress = [&s](std::string_view stage, double share) {
        if (stage.starts_with("partial")) s.share.store(share, std::memory_order_relaxed);
        else if (stage.starts_with("selecting")) s.share.store(1, std::memory_order_relaxed);
    };
    callbacks.warning = [&s](std::string_view text) {
        std::lock_guard<std::mutex> hold(s.lock);
        s.warnings.emplace_back(text);
    };
    try {
        s.result = assocnet::network(data, options, callbacks);
    } catch (...) {
        s.failure = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.done = true;
    }
    s.ended.notify_all();
}

// Starts the worker with SIGINT blocked on it, and so on the OpenMP threads
// it starts: the terminal's interrupt is taken by R's handler on the R thread.
std::thread startWorker(Shared& s, const assocnet::Data& data, const assocnet::Options& options)
{
    sigset_t interrupt, before;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &before);
    std::thread worker;
    try {
        worker = std::thread(work, std::ref(s), std::cref(data), std::cref(options));
    } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        const std::string message = std::string("no thread could be started for the run: ") + e.what();
        throw Rcpp::exception(message.c_str(), false);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return worker;
}

// However the wait ends (an R error in show, an interrupt), the run is
// cancelled and the worker joined before the R thread goes on.
struct Joined {
    Shared& s;
    std::thread& worker;
    ~Joined()
    {
        s.cancel.store(true);
        if (worker.joinable()) worker.join();
    }
};

// The worker's exception as an R error (after the worker has ended).
[[noreturn]] void signalFailure(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const assocnet::Error& e) {
        throw Rcpp::exception(e.what(), false);
    } catch (const std::bad_alloc&) {
        throw Rcpp::exception("not enough memory for the matrices of this run", false);
    } catch (const std::exception& e) {
        throw Rcpp::exception(e.what(), false);
    }
}

}  // namespace

assocnet::Result networkBeside(const assocnet::Data& data, const assocnet::Options& options,
                               Rcpp::Nullable<Rcpp::Function> show,
                               std::vector<std::string>& warnings)
{
    Shared s;
    std::thread worker = startWorker(s, data, options);
    bool interrupted = false;
    {
        const Joined joined{s, worker};
        double shown = -1;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(s.lock);
                if (s.ended.wait_for(hold, kSlice, [&] { return s.done; })) break;
            }
            if (interrupted) continue;
            try {
                Rcpp::checkUserInterrupt();
            } catch (const Rcpp::internal::InterruptedException&) {
                interrupted = true;
                s.cancel.store(true);
                continue;
            }
            const double share = s.share.load(std::memory_order_relaxed);
            if (show.isNotNull() && share != shown) {
                Rcpp::Function(show.get())(share);
                shown = share;
            }
        }
    }
    if (interrupted) throw Rcpp::internal::InterruptedException();
    if (s.failure) signalFailure(s.failure);
    warnings = std::move(s.warnings);
    return std::move(s.result);
}
