#include "platform/avahi/avahi_discovery.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "wireless";
constexpr const char* kNotRunning = "avahi-daemon is not running";
constexpr const char* kStopped = "avahi-daemon stopped";

using Alive = std::shared_ptr<std::atomic<bool>>;

void deliver(const std::shared_ptr<Executor>& executor, const Alive& alive, Task fn) {
    executor->post([alive, fn = std::move(fn)] {
        if (alive->load()) fn();
    });
}

std::string interfaceName(AvahiIfIndex index) {
    char name[IF_NAMESIZE] = {};
    if (index < 0 || !if_indextoname(static_cast<unsigned>(index), name)) return {};
    return name;
}

struct Request {
    enum class Kind { browse, resolve, publish };
    Kind kind;
    std::shared_ptr<Executor> executor;
    Alive alive = std::make_shared<std::atomic<bool>>(true);
    AvahiDiscovery::Core* core = nullptr;
    bool dead = false;  // failed or finished: never started again

    // browse
    std::string type;
    ServiceBrowser::OnBrowse onEvent;
    ::AvahiServiceBrowser* browser = nullptr;
    struct Seen {
        AvahiIfIndex iface;
        AvahiProtocol protocol;
        std::string name, type, domain;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;

    // resolve
    ServiceInstance instance;
    ServiceBrowser::OnResolve done;
    ::AvahiServiceResolver* resolver = nullptr;

    // publish
    std::string name;
    uint16_t port = 0;
    std::function<void(std::string)> onFailure;
    AvahiEntryGroup* group = nullptr;

    // Everything below runs with the poll lock held.
    void report() {
        BrowseEvent event;
        for (const auto& s : seen) {
            // IPv4 and IPv6 sightings on one interface are one instance.
            ServiceInstance inst{s.name, s.type, s.domain, interfaceName(s.iface)};
            if (std::find(event.instances.begin(), event.instances.end(), inst) == event.instances.end())
                event.instances.push_back(std::move(inst));
        }
        deliver(executor, alive, [fn = onEvent, event] { fn(event); });
    }
    void reportBrowse(BrowseEvent::Kind kind, std::string error) {
        deliver(executor, alive, [fn = onEvent, event = BrowseEvent{kind, {}, std::move(error)}] { fn(event); });
    }
    void finishResolve(ResolveResult result) {
        dead = true;
        deliver(executor, alive, [fn = done, result = std::move(result)] { fn(result); });
    }
    void fail(const std::string& error) {
        switch (kind) {
            case Kind::browse:
                dead = true;
                reportBrowse(BrowseEvent::Kind::failed, error);
                break;
            case Kind::resolve: finishResolve({{}, error}); break;
            case Kind::publish:
                if (onFailure) deliver(executor, alive, [fn = onFailure, error] { fn(error); });
                break;
        }
    }
    void release() {
        if (browser) avahi_service_browser_free(browser);
        if (resolver) avahi_service_resolver_free(resolver);
        if (group) avahi_entry_group_free(group);
        browser = nullptr;
        resolver = nullptr;
        group = nullptr;
        seen.clear();
    }
};

}  // namespace

struct AvahiDiscovery::Core {
    // Held by API calls (never by Avahi's callbacks), then the poll lock: the poll thread never
    // waits for it, so stop() may join that thread while holding it.
    std::mutex m;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    bool running = false;
    std::string absence = kNotRunning;  // why requests wait, while they wait
    bool busMissing = false;             // no client could be made: tried again on a timer
    AvahiTimeout* clientRetry = nullptr;
    static constexpr unsigned kClientRetryMs = 5000;
    std::map<uint64_t, std::unique_ptr<Request>> requests;
    uint64_t nextId = 1;

    class Lock {
    public:
        explicit Lock(Core& core) : core_(core), guard_(core.m) {
            if (core_.poll) avahi_threaded_poll_lock(core_.poll);
        }
        ~Lock() {
            if (core_.poll) avahi_threaded_poll_unlock(core_.poll);
        }

    private:
        Core& core_;
        std::lock_guard<std::mutex> guard_;
    };

    // Makes the client. Where the system bus cannot be reached it tries again every 5 s, quietly:
    // browses say why they wait. Runs with the poll lock held, or before the poll thread runs.
    void connectClient() {
        // The client reports "connecting" from inside avahi_client_new when the bus is there.
        if (busMissing) absence = kNotRunning;
        int err = 0;
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        if (AvahiClient* c = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, onClient, this, &err)) {
            client = c;
            busMissing = false;
            return;
        }
        client = nullptr;
        absence = std::string("cannot reach avahi-daemon: ") + avahi_strerror(err);
        if (!busMissing) Log::d(kTag, "avahi: " + absence + "; trying again every 5 s");
        busMissing = true;
        timeval when{};
        avahi_elapse_time(&when, kClientRetryMs, 0);
        if (clientRetry) {
            api->timeout_update(clientRetry, &when);
        } else {
            clientRetry = api->timeout_new(
                api, &when, [](AvahiTimeout*, void* self) { static_cast<Core*>(self)->connectClient(); }, this);
        }
    }

    std::string clientError() const { return avahi_strerror(client ? avahi_client_errno(client) : AVAHI_ERR_FAILURE); }

    uint64_t add(std::unique_ptr<Request> req) {
        Lock lock(*this);
        req->core = this;
        Request& r = *req;
        uint64_t id = nextId++;
        requests[id] = std::move(req);
        if (running) {
            activate(r);
        } else if (r.kind == Request::Kind::browse) {
            r.reportBrowse(BrowseEvent::Kind::waiting, absence);
        }
        return id;
    }

    void cancel(uint64_t id) {
        Lock lock(*this);
        auto it = requests.find(id);
        if (it == requests.end()) return;
        it->second->release();
        requests.erase(it);
    }

    void activate(Request& r) {
        if (r.dead || !client) return;
        switch (r.kind) {
            case Request::Kind::browse:
                if (r.browser) return;
                r.browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, r.type.c_str(),
                                                      nullptr, AvahiLookupFlags(0), onBrowse, &r);
                if (!r.browser) {
                    r.fail(clientError());
                    return;
                }
                // The (empty) set at once: the owner learns that browsing runs before any service shows.
                r.report();
                return;
            case Request::Kind::resolve: {
                if (r.resolver) return;
                AvahiIfIndex iface = AVAHI_IF_UNSPEC;
                if (!r.instance.interfaceName.empty()) {
                    unsigned index = if_nametoindex(r.instance.interfaceName.c_str());
                    if (index == 0) {
                        r.fail("no interface " + r.instance.interfaceName);
                        return;
                    }
                    iface = static_cast<AvahiIfIndex>(index);
                }
                const char* domain = r.instance.domain.empty() ? nullptr : r.instance.domain.c_str();
                r.resolver = avahi_service_resolver_new(client, iface, AVAHI_PROTO_UNSPEC, r.instance.name.c_str(),
                                                        r.instance.type.c_str(), domain, AVAHI_PROTO_UNSPEC,
                                                        AvahiLookupFlags(0), onResolve, &r);
                if (!r.resolver) r.fail(clientError());
                return;
            }
            case Request::Kind::publish: {
                if (r.group) return;
                r.group = avahi_entry_group_new(client, onGroup, &r);
                if (!r.group) {
                    r.fail(clientError());
                    return;
                }
                int err = avahi_entry_group_add_service(r.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                        AvahiPublishFlags(0), r.name.c_str(), r.type.c_str(), nullptr,
                                                        nullptr, r.port, nullptr);
                if (err >= 0) err = avahi_entry_group_commit(r.group);
                if (err < 0) {
                    avahi_entry_group_free(r.group);
                    r.group = nullptr;
                    r.fail(avahi_strerror(err));
                }
                return;
            }
        }
    }

    void onClientState(AvahiClient* c, AvahiClientState state) {
        client = c;  // also during avahi_client_new, before it returns
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (!running) Log::i(kTag, "avahi: connected to the daemon");
                running = true;
                absence = kNotRunning;
                for (auto& [id, r] : requests) activate(*r);
                return;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The daemon is renaming this host: our advertisements are renewed once it runs.
                for (auto& [id, r] : requests)
                    if (r->kind == Request::Kind::publish) r->release();
                return;
            case AVAHI_CLIENT_CONNECTING:
                running = false;
                for (auto& [id, r] : requests)
                    if (r->kind == Request::Kind::browse && !r->dead)
                        r->reportBrowse(BrowseEvent::Kind::waiting, absence);
                return;
            case AVAHI_CLIENT_FAILURE: {
                int err = avahi_client_errno(c);
                std::string text = avahi_strerror(err);
                running = false;
                if (err == AVAHI_ERR_DISCONNECTED) {
                    // The daemon went away. Browses wait for it (their owner says so once) and
                    // start again when it is back; what they showed is gone with it; lookups end.
                    Log::d(kTag, "avahi: daemon went away: " + text);
                    absence = kStopped;
                    for (auto& [id, r] : requests) {
                        const bool showed = !r->seen.empty();
                        r->release();
                        if (r->kind == Request::Kind::resolve) r->fail(absence);
                        if (r->kind != Request::Kind::browse || r->dead) continue;
                        if (showed) r->report();
                        r->reportBrowse(BrowseEvent::Kind::waiting, absence);
                    }
                    avahi_client_free(c);
                    client = nullptr;
                    connectClient();
                    return;
                }
                Log::w(kTag, "avahi: client failed: " + text);
                for (auto& [id, r] : requests) {
                    r->release();
                    if (r->kind != Request::Kind::publish) r->fail(text);
                }
                return;
            }
        }
    }

    static void onClient(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<Core*>(self)->onClientState(c, state);
    }

    static void onBrowse(::AvahiServiceBrowser*, AvahiIfIndex iface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* data) {
        auto& r = *static_cast<Request*>(data);
        switch (event) {
            case AVAHI_BROWSER_NEW: {
                Request::Seen s{iface, protocol, name, type, domain};
                if (std::find(r.seen.begin(), r.seen.end(), s) == r.seen.end()) r.seen.push_back(std::move(s));
                r.report();
                return;
            }
            case AVAHI_BROWSER_REMOVE: {
                Request::Seen s{iface, protocol, name, type, domain};
                std::erase(r.seen, s);
                r.report();
                return;
            }
            case AVAHI_BROWSER_FAILURE: {
                std::string text = r.core->clientError();
                r.release();
                r.fail(text);
                return;
            }
            case AVAHI_BROWSER_ALL_FOR_NOW:
            case AVAHI_BROWSER_CACHE_EXHAUSTED: return;
        }
    }

    static void onResolve(AvahiServiceResolver*, AvahiIfIndex iface, AvahiProtocol, AvahiResolverEvent event,
                          const char*, const char*, const char*, const char*, const AvahiAddress* address,
                          uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* data) {
        auto& r = *static_cast<Request*>(data);
        if (r.dead) return;
        if (event == AVAHI_RESOLVER_FOUND && address) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            uint32_t scope = address->proto == AVAHI_PROTO_INET6 && iface >= 0 ? static_cast<uint32_t>(iface) : 0;
            r.finishResolve({{ServiceAddress{text, port, scope}}, {}});
        } else {
            r.finishResolve({{}, r.core->clientError()});
        }
        // Freeing the resolver inside its own callback is allowed by Avahi.
        r.release();
    }

    static void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* data) {
        auto& r = *static_cast<Request*>(data);
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED: Log::i(kTag, "avahi: advertising " + r.name + " " + r.type); return;
            case AVAHI_ENTRY_GROUP_COLLISION: r.fail("service name conflict: " + r.name); return;
            case AVAHI_ENTRY_GROUP_FAILURE:
                r.fail(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
                return;
            default: return;
        }
    }
};

namespace {

class AvahiHandle final : public DiscoveryHandle {
public:
    AvahiHandle(std::weak_ptr<AvahiDiscovery::Core> core, uint64_t id, Alive alive)
        : core_(std::move(core)), id_(id), alive_(std::move(alive)) {}
    ~AvahiHandle() override {
        alive_->store(false);
        if (auto core = core_.lock()) core->cancel(id_);
    }

private:
    std::weak_ptr<AvahiDiscovery::Core> core_;
    uint64_t id_;
    Alive alive_;
};

}  // namespace

AvahiDiscovery::AvahiDiscovery() : core_(std::make_shared<Core>()) {}

// Reports still queued find their requests dead: no drain needed here.
AvahiDiscovery::~AvahiDiscovery() { halt(); }

bool AvahiDiscovery::start() {
    std::lock_guard g(core_->m);
    if (core_->poll) return true;
    core_->poll = avahi_threaded_poll_new();
    if (!core_->poll) {
        Log::e(kTag, "avahi: cannot make a poll loop");
        return false;
    }
    // No poll thread yet, so the client callback that runs inside avahi_client_new is alone.
    core_->connectClient();
    if (avahi_threaded_poll_start(core_->poll) < 0) {
        Log::e(kTag, "avahi: cannot start its poll thread");
        if (core_->client) avahi_client_free(core_->client);
        avahi_threaded_poll_free(core_->poll);  // with the retry timer
        core_->poll = nullptr;
        core_->client = nullptr;
        core_->clientRetry = nullptr;
        return false;
    }
    return true;
}

void AvahiDiscovery::stop() {
    // A report running elsewhere at this moment has returned once these do.
    for (auto& q : halt()) q->drain();
}

std::vector<std::shared_ptr<Executor>> AvahiDiscovery::halt() {
    std::vector<std::shared_ptr<Executor>> queues;
    {
        std::lock_guard g(core_->m);
        if (!core_->poll) return queues;
        avahi_threaded_poll_stop(core_->poll);
        for (auto& [id, r] : core_->requests) {
            // Reports already posted find their request dead when they run.
            r->alive->store(false);
            if (std::find(queues.begin(), queues.end(), r->executor) == queues.end()) queues.push_back(r->executor);
            r->release();
        }
        if (core_->client) avahi_client_free(core_->client);
        avahi_threaded_poll_free(core_->poll);  // with the retry timer
        core_->poll = nullptr;
        core_->client = nullptr;
        core_->clientRetry = nullptr;
        core_->running = false;
    }
    return queues;
}

namespace {

std::unique_ptr<DiscoveryHandle> submitTo(const std::shared_ptr<AvahiDiscovery::Core>& core,
                                          std::unique_ptr<Request> req) {
    Alive alive = req->alive;
    uint64_t id = core->add(std::move(req));
    return std::make_unique<AvahiHandle>(core, id, alive);
}

}  // namespace

std::unique_ptr<DiscoveryHandle> AvahiDiscovery::browse(const std::string& type, std::shared_ptr<Executor> executor,
                                                        OnBrowse onEvent) {
    auto req = std::make_unique<Request>();
    req->kind = Request::Kind::browse;
    req->executor = std::move(executor);
    req->type = type;
    req->onEvent = std::move(onEvent);
    return submitTo(core_, std::move(req));
}

std::unique_ptr<DiscoveryHandle> AvahiDiscovery::resolve(const ServiceInstance& instance,
                                                         std::shared_ptr<Executor> executor, OnResolve done) {
    auto req = std::make_unique<Request>();
    req->kind = Request::Kind::resolve;
    req->executor = std::move(executor);
    req->instance = instance;
    req->done = std::move(done);
    return submitTo(core_, std::move(req));
}

std::unique_ptr<DiscoveryHandle> AvahiDiscovery::publish(const std::string& name, const std::string& type,
                                                         uint16_t port, std::shared_ptr<Executor> executor,
                                                         std::function<void(std::string)> onFailure) {
    auto req = std::make_unique<Request>();
    req->kind = Request::Kind::publish;
    req->executor = std::move(executor);
    req->name = name;
    req->type = type;
    req->port = port;
    req->onFailure = std::move(onFailure);
    return submitTo(core_, std::move(req));
}

}  // namespace kelvo
