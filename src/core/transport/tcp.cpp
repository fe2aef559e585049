#include "core/transport/tcp.hpp"

#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kelvo {

namespace {

using AddrList = std::shared_ptr<addrinfo>;

AddrList ownList(addrinfo* list) { return AddrList(list, [](addrinfo* l) { if (l) freeaddrinfo(l); }); }

// One connect: lookup, then each address in turn on readiness, each bounded by the time-out.
// Runs on its queue and keeps itself alive until its one completion has run.
class Attempt : public std::enable_shared_from_this<Attempt> {
public:
    Attempt(std::string host, uint16_t port, uint64_t timeoutUs, std::shared_ptr<Executor> queue,
            ConnectCompletion completion)
        : host_(std::move(host)), service_(std::to_string(port)), timeoutUs_(timeoutUs), queue_(std::move(queue)),
          completion_(std::move(completion)), pending_(ConnectError::failed("no address for " + host_)) {}

    void begin() {
        self_ = shared_from_this();
        timer_ = queue_->makeTimer();
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* raw = nullptr;
        int rc = ::getaddrinfo(host_.c_str(), service_.c_str(), &hints, &raw);
        if (rc == 0) {
            resolved(ownList(raw));
        } else if (rc == EAI_NONAME) {
            lookUpName();
        } else {
            finish(ConnectError::failed("cannot resolve " + host_));
        }
    }

private:
    // A name lookup may wait on the network for seconds: it runs on the resolver's own thread
    // and reports back through the queue. It is not cancelled on the time-out; its late
    // report finds the attempt finished and only frees the list.
    struct NameLookup {
        std::string host, service;
        addrinfo hints{};
        gaicb request{};
        std::weak_ptr<Attempt> attempt;
        std::shared_ptr<Executor> queue;
    };

    static void lookedUp(sigval value) {
        std::unique_ptr<NameLookup> lookup(static_cast<NameLookup*>(value.sival_ptr));
        int rc = gai_error(&lookup->request);
        AddrList list = ownList(rc == 0 ? lookup->request.ar_result : nullptr);
        lookup->queue->post([weak = lookup->attempt, list] {
            auto self = weak.lock();
            if (!self || self->done_) return;
            if (list) {
                self->resolved(list);
            } else {
                self->finish(ConnectError::failed("cannot resolve " + self->host_));
            }
        });
    }

    void lookUpName() {
        auto lookup = std::make_unique<NameLookup>();
        lookup->host = host_;
        lookup->service = service_;
        lookup->hints.ai_socktype = SOCK_STREAM;
        lookup->request.ar_name = lookup->host.c_str();
        lookup->request.ar_service = lookup->service.c_str();
        lookup->request.ar_request = &lookup->hints;
        lookup->attempt = weak_from_this();
        lookup->queue = queue_;
        sigevent notify{};
        notify.sigev_notify = SIGEV_THREAD;
        notify.sigev_notify_function = &Attempt::lookedUp;
        notify.sigev_value.sival_ptr = lookup.get();
        gaicb* requests[1] = {&lookup->request};
        if (getaddrinfo_a(GAI_NOWAIT, requests, 1, &notify) != 0) {
            finish(ConnectError::failed("cannot resolve " + host_));
            return;
        }
        lookup.release();  // owned by its notification from here on
        timer_->scheduleOnce(timeoutUs_, guarded([](Attempt& a) { a.finish(ConnectError::failed("cannot resolve " + a.host_)); }));
    }

    template <class F>
    Task guarded(F fn) {
        return [weak = weak_from_this(), fn] {
            auto self = weak.lock();
            if (self && !self->done_) fn(*self);
        };
    }

    void resolved(AddrList list) {
        timer_->cancel();
        if (!list) {
            finish(ConnectError::failed("cannot resolve " + host_));
            return;
        }
        list_ = std::move(list);
        next_ = list_.get();
        tryNext();
    }

    void tryNext() {
        for (; next_; next_ = next_->ai_next) {
            const addrinfo* a = next_;
            UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
            if (!fd) continue;
            int err = ::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
            if (err == 0) {
                succeed(std::move(fd));
                return;
            }
            // A connect interrupted by a signal goes on in the background, like one in progress.
            if (err == EINPROGRESS || err == EINTR) {
                next_ = a->ai_next;
                wait(std::move(fd));
                return;
            }
            failedAddress(err);
        }
        finish(std::move(pending_));
    }

    void wait(UniqueFd fd) {
        socket_ = std::move(fd);
        watch_ = queue_->watchFd(socket_.get());
        if (!watch_) {
            finish(ConnectError::failed("no descriptor watching on " + std::string(queue_->label())));
            return;
        }
        watch_->waitWritable(guarded([](Attempt& a) { a.settled(false); }));
        timer_->scheduleOnce(timeoutUs_, guarded([](Attempt& a) { a.settled(true); }));
    }

    // The socket's own error decides; a time-out with none pending reads as ETIMEDOUT.
    void settled(bool timedOut) {
        timer_->cancel();
        watch_.reset();
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err == 0 && timedOut) err = ETIMEDOUT;
        if (err == 0) {
            succeed(std::move(socket_));
            return;
        }
        closeAfterCallback(*queue_, std::move(socket_));
        failedAddress(err);
        tryNext();
    }

    void failedAddress(int err) {
        pending_ = err == ECONNREFUSED ? ConnectError::refused() : ConnectError::failed(std::strerror(err));
    }

    void succeed(UniqueFd fd) {
        setNonBlocking(fd.get(), false);
        finish(std::move(fd));
    }

    void finish(ConnectResult result) {
        if (done_) return;
        done_ = true;
        timer_->cancel();
        watch_.reset();
        closeAfterCallback(*queue_, std::move(socket_));
        // Posted, not called: the caller's completion never runs inside a readiness callback.
        auto held = std::make_shared<ConnectResult>(std::move(result));
        queue_->post([completion = std::move(completion_), held, keep = std::move(self_)] {
            completion(std::move(*held));
        });
    }

    const std::string host_;
    const std::string service_;
    const uint64_t timeoutUs_;
    const std::shared_ptr<Executor> queue_;
    ConnectCompletion completion_;

    ConnectError pending_;
    AddrList list_;
    const addrinfo* next_ = nullptr;
    UniqueFd socket_;
    std::unique_ptr<FdWatch> watch_;
    std::unique_ptr<Timer> timer_;
    bool done_ = false;
    std::shared_ptr<Attempt> self_;
};

}  // namespace

void TCP::connect(const std::string& host, uint16_t port, uint64_t timeoutUs, std::shared_ptr<Executor> queue,
                  ConnectCompletion completion) {
    auto attempt = std::make_shared<Attempt>(host, port, timeoutUs, queue, std::move(completion));
    queue->post([attempt] { attempt->begin(); });
}

}  // namespace kelvo
