// Measures a program's time to window: from just before it is started to the moment the X server
// maps its first top-level window. It watches the root window of $DISPLAY (a private Xvfb in the
// benchmark) so the program under test needs no code of its own for being measured.
//
//   vellipost-startup-probe PROGRAM [ARG...]
//   -> ms=123.456          (the program is then terminated)
//
// Exit status 1 if no window appeared within 30 seconds or the program ended first.
#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kLimitMs = 30000;

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// Ends the program under test however the measurement ended.
class Child {
public:
    explicit Child(pid_t pid) : m_pid(pid) {}
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool Exited() {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        return false;
    }

private:
    pid_t m_pid;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<xcb_connection_t, Disconnect> conn(xcb_connect(nullptr, nullptr));
    if (xcb_connection_has_error(conn.get())) {
        std::fprintf(stderr, "startup-probe: cannot open the display\n");
        return 2;
    }
    const int xfd = xcb_get_file_descriptor(conn.get());
    ::fcntl(xfd, F_SETFD, FD_CLOEXEC);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(conn.get())).data;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    // Checked, so that the selection is in force before the program starts.
    if (std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> err{
            xcb_request_check(conn.get(), xcb_change_window_attributes_checked(
                                              conn.get(), screen->root, XCB_CW_EVENT_MASK, &mask)),
            &std::free}) {
        std::fprintf(stderr, "startup-probe: cannot watch the root window\n");
        return 2;
    }

    const double start = NowMs();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        ::execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    Child child(pid);

    while (NowMs() - start < kLimitMs) {
        while (std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> ev{
            xcb_poll_for_event(conn.get()), &std::free}) {
            if ((ev->response_type & 0x7f) != XCB_MAP_NOTIFY)
                continue;
            const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(ev.get());
            // Menus and tooltips bypass the window manager; the form does not.
            if (map->override_redirect)
                continue;
            std::printf("ms=%.3f\n", NowMs() - start);
            return 0;
        }
        if (xcb_connection_has_error(conn.get()) || child.Exited())
            break;
        pollfd p{xfd, POLLIN, 0};
        ::poll(&p, 1, 50);
    }
    std::fprintf(stderr, "startup-probe: no window from %s\n", argv[1]);
    return 1;
}
