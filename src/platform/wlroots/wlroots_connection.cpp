#include "platform/wlroots/wlroots_connection.hpp"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace tovali {
namespace {

// Long enough for a compositor busy drawing a frame, short enough not to stall the interface.
constexpr int flushWaitMilliseconds = 20;

} // namespace

WlrootsConnection::WlrootsConnection() : retry_(new QTimer(this)) {
    retry_->setInterval(retryMilliseconds);
    QObject::connect(retry_, &QTimer::timeout, this, [this] {
        if (connect()) {
            retry_->stop();
            if (changed_)
                changed_();
        }
    });
}

std::unique_ptr<WlrootsConnection> WlrootsConnection::open() {
    std::unique_ptr<WlrootsConnection> connection(new WlrootsConnection);
    if (!connection->connect())
        return nullptr;
    return connection;
}

WlrootsConnection::~WlrootsConnection() {
    disconnect();
}

bool WlrootsConnection::connect() {
    display_ = wl_display_connect(nullptr);
    if (display_ == nullptr)
        return false;
    static const wl_registry_listener listener{.global = &WlrootsConnection::global,
                                               .global_remove = &WlrootsConnection::globalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &listener, this);
    if (wl_display_roundtrip(display_) < 0 || manager_ == nullptr) {
        disconnect();
        return false;
    }
    pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, nullptr);
    if (wl_display_roundtrip(display_) < 0) {
        disconnect();
        return false;
    }
    reader_ = new QSocketNotifier(wl_display_get_fd(display_), QSocketNotifier::Read, this);
    QObject::connect(reader_, &QSocketNotifier::activated, this, [this] { readEvents(); });
    return true;
}

void WlrootsConnection::disconnect() {
    // The notifier may be the one whose signal runs now: it goes once that returns.
    if (reader_ != nullptr) {
        reader_->setEnabled(false);
        reader_->deleteLater();
        reader_ = nullptr;
    }
    if (pointer_ != nullptr)
        zwlr_virtual_pointer_v1_destroy(pointer_);
    if (manager_ != nullptr)
        zwlr_virtual_pointer_manager_v1_destroy(manager_);
    if (registry_ != nullptr)
        wl_registry_destroy(registry_);
    if (display_ != nullptr) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
    pointer_ = nullptr;
    manager_ = nullptr;
    registry_ = nullptr;
    display_ = nullptr;
}

void WlrootsConnection::lose() {
    if (display_ == nullptr)
        return;
    disconnect();
    retry_->start();
    if (changed_)
        changed_();
}

void WlrootsConnection::readEvents() {
    if (display_ == nullptr)
        return;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0)
            return lose();
    }
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0)
        return lose();
}

void WlrootsConnection::flush() {
    if (display_ == nullptr)
        return;
    while (wl_display_flush(display_) < 0) {
        if (errno != EAGAIN)
            return lose();
        pollfd writable{.fd = wl_display_get_fd(display_), .events = POLLOUT, .revents = 0};
        if (poll(&writable, 1, flushWaitMilliseconds) <= 0)
            return; // the rest stays queued for the next flush
    }
}

void WlrootsConnection::global(void* data, wl_registry* registry, std::uint32_t name,
                               const char* interface, std::uint32_t version) {
    auto* self = static_cast<WlrootsConnection*>(data);
    if (self->manager_ == nullptr &&
        std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        self->manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface,
                             std::min<std::uint32_t>(version, 1)));
    }
}

// A withdrawn manager leaves the pointer made with it working; the next connection asks anew.
void WlrootsConnection::globalRemove(void*, wl_registry*, std::uint32_t) {}

} // namespace tovali
