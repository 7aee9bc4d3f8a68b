#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
struct wl_display;
struct wl_registry;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace tovali {

/// A Wayland connection of Tovali's own, apart from Qt's (which may be on Xwayland anyway),
/// holding one virtual pointer of a wlroots compositor. When the compositor goes away the
/// pointer is dropped and the connection is tried again every second until it is back.
class WlrootsConnection final : public QObject {
public:
    /// Connects to `$WAYLAND_DISPLAY`; null when no compositor answers or it offers no virtual
    /// pointer.
    static std::unique_ptr<WlrootsConnection> open();
    ~WlrootsConnection() override;
    WlrootsConnection(const WlrootsConnection&) = delete;
    WlrootsConnection& operator=(const WlrootsConnection&) = delete;

    /// Null while the compositor is gone.
    zwlr_virtual_pointer_v1* pointer() const { return pointer_; }
    /// Sends what was queued; a compositor that cannot take it now gets a few milliseconds.
    void flush();
    /// Called after the pointer is lost and after it is made again, so that state kept about
    /// it (held buttons, the estimate) can be dropped.
    void onPointerChange(std::function<void()> callback) { changed_ = std::move(callback); }

    static constexpr int retryMilliseconds = 1000;

private:
    WlrootsConnection();
    /// True when the compositor offers the virtual pointer and one was made.
    bool connect();
    void disconnect();
    void lose();
    void readEvents();

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void globalRemove(void* data, wl_registry* registry, std::uint32_t name);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
    zwlr_virtual_pointer_v1* pointer_ = nullptr;
    QSocketNotifier* reader_ = nullptr;
    QTimer* retry_;
    std::function<void()> changed_;
};

} // namespace tovali
