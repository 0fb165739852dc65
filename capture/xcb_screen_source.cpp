#include "xcb_screen_source.h"

#include "capture_log.h"
#include "monitor_list.h"
#include "pointer_overlay.h"
#include "server_pixels.h"

#include <QRect>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

namespace capture {

namespace {

struct ConnectionDeleter
{
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};

struct FreeDeleter
{
    void operator()(void *reply) const { std::free(reply); }
};

template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

} // namespace

struct XcbScreenSource::Impl
{
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection;
    xcb_window_t root = 0;
    QSize rootSize;

    // The part of the root window the pictures show: all of it, or the chosen monitor's area.
    // Pictures, drawing reports and the pointer's place are all relative to its top-left.
    QRect area;
    // The chosen monitor (its RandR name and atom); none for the whole root window.
    QString monitorName;
    xcb_atom_t monitorAtom = XCB_NONE;
    std::optional<std::uint8_t> randrEventBase;
    // The area was looked up since the last grab, and the server reported no change of
    // screens or monitors since. Servers do not report every change of monitors, so each
    // grab looks again unless takeChanges() just did (its answer shares the round trip).
    bool areaFresh = false;
    // The chosen monitor is no longer there.
    bool gone = false;

    // The shared segment, sized for the area.
    bool shmAvailable = false;
    xcb_shm_seg_t segment = 0;
    int shmId = -1;
    std::uint8_t *shmAddress = nullptr;
    std::size_t shmBytes = 0;

    // Drawing on the root window and everything in it, reported as the bounding box of what
    // was drawn since the last subtract (so the events stay few however long nobody asks).
    xcb_damage_damage_t damage = 0;
    std::uint8_t damageEventBase = 0;
    bool damagedAll = true; // the first picture is taken whole
    QRect damaged; // reported since the last subtract
    // Reported after the last subtract was done: a later drawing inside this box would not
    // be reported (the box does not grow), so it is reported again after the next subtract.
    QRect damagedSinceSubtract;
    std::uint16_t subtractSequence = 0;
    bool subtracted = false;

    // The mouse pointer drawn into the pictures. The server tells when its shape changes
    // (XFIXES cursor notify), so the shape is fetched only then; otherwise a pull asks only
    // where the pointer is.
    bool pointerWanted = false;
    std::uint8_t xfixesEventBase = 0;
    bool pointerShapeStale = true;
    bool pointerVisible = false;
    std::uint32_t pointerSerial = 0;
    QPoint pointerHotSpot;
    PointerImage pointer; // as the pictures show it
    // takeChanges() found the pointer and reported its move; the next grab draws it there.
    bool pointerTaken = false;
    // Where pointers were drawn since the last takeChanges() without it reporting the place
    // (grabs with no takeChanges() before them find the pointer themselves).
    QRect pointerUnreported;

    // Without shared memory: the last image reply, whose data the view points into.
    Reply<xcb_get_image_reply_t> lastImage;

    // A grab in bands: one request per band, answered in order.
    static constexpr int Bands = 8;
    std::vector<xcb_shm_get_image_cookie_t> bandCookies;
    std::vector<int> bandEnds; // rows from the top once band i is in
    std::size_t bandsIn = 0;
    int rowsIn = 0;

    void dropBands()
    {
        // Replies nobody waits for any more are discarded as they come.
        for (std::size_t i = bandsIn; i < bandCookies.size(); ++i)
            xcb_discard_reply(connection.get(), bandCookies[i].sequence);
        bandCookies.clear();
        bandEnds.clear();
        bandsIn = 0;
    }

    ~Impl()
    {
        if (damage)
            xcb_damage_destroy(connection.get(), damage);
        releaseSegment();
    }

    void releaseSegment()
    {
        if (shmAddress) {
            xcb_shm_detach(connection.get(), segment);
            xcb_flush(connection.get());
            shmdt(shmAddress);
        }
        shmAddress = nullptr;
        shmBytes = 0;
        segment = 0;
    }

    bool ensureSegment()
    {
        const std::size_t bytes = std::size_t(area.width()) * area.height() * 4;
        if (shmAddress && shmBytes == bytes)
            return true;
        releaseSegment();
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return false;
        void *address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void *>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return false;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(connection.get());
        const xcb_void_cookie_t cookie =
                xcb_shm_attach_checked(connection.get(), seg, std::uint32_t(id), 0);
        Reply<xcb_generic_error_t> error(xcb_request_check(connection.get(), cookie));
        // Marked for removal at once: the segment lives until both sides have detached, and
        // nothing is left behind if the program ends abruptly.
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            shmdt(address);
            return false;
        }
        segment = seg;
        shmId = id;
        shmAddress = static_cast<std::uint8_t *>(address);
        shmBytes = bytes;
        return true;
    }

    // Follows size changes of the root window without a round trip per picture, and collects
    // what was drawn.
    void takeEvents()
    {
        while (Reply<xcb_generic_event_t> event{ xcb_poll_for_event(connection.get()) }) {
            const int type = event->response_type & 0x7f;
            if (type == XCB_CONFIGURE_NOTIFY) {
                const auto *configure =
                        reinterpret_cast<const xcb_configure_notify_event_t *>(event.get());
                if (configure->window == root
                        && QSize(configure->width, configure->height) != rootSize) {
                    rootSize = QSize(configure->width, configure->height);
                    damagedAll = true;
                    if (monitorName.isEmpty())
                        area = QRect(QPoint(0, 0), rootSize);
                    else
                        areaFresh = false;
                }
            } else if (randrEventBase
                    && (type == *randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY
                            || type == *randrEventBase + XCB_RANDR_NOTIFY)) {
                areaFresh = false;
            } else if (pointerWanted && type == xfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY) {
                pointerShapeStale = true;
            } else if (damage && type == damageEventBase + XCB_DAMAGE_NOTIFY) {
                const auto *notify =
                        reinterpret_cast<const xcb_damage_notify_event_t *>(event.get());
                const QRect area(
                        notify->area.x, notify->area.y, notify->area.width, notify->area.height);
                damaged |= area;
                // Events carry the number of the last request of ours the server had done.
                if (subtracted && std::int16_t(notify->sequence - subtractSequence) >= 0)
                    damagedSinceSubtract |= area;
            }
        }
    }

    // Takes the server's list of monitors in: the chosen one's area, or gone when it is not
    // listed any more (or lies outside the screen). A failed question changes nothing.
    void takeArea(const std::optional<std::vector<x11::MonitorAtom>> &monitors)
    {
        areaFresh = true;
        if (!monitors || gone)
            return;
        QRect found;
        for (const x11::MonitorAtom &monitor : *monitors) {
            if (monitor.name == monitorAtom)
                found = monitor.area & QRect(QPoint(0, 0), rootSize);
        }
        if (found.isEmpty()) {
            qCInfo(lcCapture) << "the monitor" << monitorName << "is gone";
            gone = true;
            return;
        }
        if (found != area) {
            area = found;
            damagedAll = true;
            pointerShapeStale = true; // its place is asked again, relative to the new area
        }
    }

    // Before a grab: the area as it is now.
    void refreshArea()
    {
        if (!monitorName.isEmpty() && !areaFresh && !gone)
            takeArea(x11::takeMonitors(connection.get(), x11::askMonitors(connection.get(), root)));
    }

    // Whether a grab can be made at all.
    bool grabbable()
    {
        return !area.isEmpty() && !gone && !xcb_connection_has_error(connection.get());
    }

    // Asks for the pointer's place, and for its picture too when the shape changed; the
    // answer is taken with takePointer(), so other requests can go in between.
    struct PointerRequest
    {
        bool shape = false;
        unsigned int sequence = 0;
    };
    PointerRequest askPointer()
    {
        xcb_connection_t *c = connection.get();
        if (pointerShapeStale) {
            pointerShapeStale = false;
            return { true, xcb_xfixes_get_cursor_image(c).sequence };
        }
        return { false, xcb_query_pointer(c, root).sequence };
    }

    // Takes the answer in; returns the area the pointer left and reached when it moved,
    // changed shape or appeared or went, else an empty one.
    QRect takePointer(const PointerRequest &request)
    {
        xcb_connection_t *c = connection.get();
        const QRect before = pointerVisible ? pointer.area() : QRect();
        const std::uint32_t serialBefore = pointerSerial;
        if (request.shape) {
            Reply<xcb_xfixes_get_cursor_image_reply_t> image(xcb_xfixes_get_cursor_image_reply(
                    c, xcb_xfixes_get_cursor_image_cookie_t{ request.sequence }, nullptr));
            pointerVisible = bool(image);
            if (image) {
                const std::uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
                const int count = xcb_xfixes_get_cursor_image_cursor_image_length(image.get());
                pointer.size = QSize(image->width, image->height);
                pointer.pixels.assign(pixels, pixels + std::max(count, 0));
                pointerHotSpot = QPoint(image->xhot, image->yhot);
                pointer.topLeft = QPoint(image->x, image->y) - pointerHotSpot - area.topLeft();
                pointerSerial = image->cursor_serial;
            } else {
                pointerShapeStale = true; // try again next time
            }
        } else {
            Reply<xcb_query_pointer_reply_t> place(xcb_query_pointer_reply(
                    c, xcb_query_pointer_cookie_t{ request.sequence }, nullptr));
            // On another screen of the display the pointer is not on this picture.
            pointerVisible = place && place->same_screen;
            if (pointerVisible)
                pointer.topLeft =
                        QPoint(place->root_x, place->root_y) - pointerHotSpot - area.topLeft();
        }
        const QRect after = pointerVisible ? pointer.area() : QRect();
        if (before == after && pointerSerial == serialBefore)
            return QRect();
        return before | after;
    }

    // Before a grab: the pointer as the last takeChanges() found it, or as it is now when no
    // takeChanges() came since the last grab.
    void preparePointer()
    {
        if (!pointerWanted)
            return;
        if (!pointerTaken)
            pointerUnreported |= takePointer(askPointer());
        pointerTaken = false;
    }

    // Draws the pointer into the rows [top, bottom) of a fresh picture.
    void drawPointer(std::uint8_t *picture, int top, int bottom) const
    {
        if (pointerWanted && pointerVisible)
            blendPointer(picture, area.size(), area.width() * 4, pointer, top, bottom);
    }

    void startPointer()
    {
        xcb_connection_t *c = connection.get();
        const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_xfixes_id);
        if (!extension || !extension->present)
            return;
        // The version must be asked before any other request of the extension.
        Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(c,
                xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
                nullptr));
        if (!version)
            return;
        Reply<xcb_generic_error_t> error(xcb_request_check(c,
                xcb_xfixes_select_cursor_input_checked(
                        c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR)));
        if (error)
            return;
        xfixesEventBase = extension->first_event;
        pointerWanted = true;
        pointerShapeStale = true;
    }

    // The chosen monitor's area from now on; gone at once when the server has no such monitor.
    void startMonitor(const QString &name)
    {
        xcb_connection_t *c = connection.get();
        monitorName = name;
        randrEventBase = x11::startMonitors(c, root);
        const QByteArray bytes = name.toUtf8();
        // Only an existing atom: a monitor's name is one the server has made.
        Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 1, std::uint16_t(bytes.size()), bytes.constData()), nullptr));
        monitorAtom = atom ? atom->atom : XCB_NONE;
        if (!randrEventBase || monitorAtom == XCB_NONE) {
            qCInfo(lcCapture) << "no monitor" << name << "on the X server";
            gone = true;
            return;
        }
        refreshArea();
        areaFresh = false; // looked up again before the first picture
    }

    void startDamage()
    {
        xcb_connection_t *c = connection.get();
        const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_damage_id);
        if (!extension || !extension->present)
            return;
        Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(c,
                xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
                nullptr));
        if (!version)
            return;
        const xcb_damage_damage_t id = xcb_generate_id(c);
        Reply<xcb_generic_error_t> error(xcb_request_check(
                c, xcb_damage_create_checked(c, id, root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX)));
        if (error)
            return;
        damage = id;
        damageEventBase = extension->first_event;
        damagedAll = true;
    }
};

XcbScreenSource::XcbScreenSource(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) { }

XcbScreenSource::~XcbScreenSource() = default;

std::unique_ptr<XcbScreenSource> XcbScreenSource::open(
        const char *displayName, const SourceOptions &options)
{
    auto impl = std::make_unique<Impl>();
    int screenNumber = 0;
    impl->connection.reset(xcb_connect(displayName, &screenNumber));
    if (!impl->connection || xcb_connection_has_error(impl->connection.get())) {
        qCInfo(lcCapture) << "no X connection for the desktop grab";
        return nullptr;
    }
    xcb_connection_t *connection = impl->connection.get();
    const xcb_setup_t *setup = xcb_get_setup(connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return nullptr;
    const xcb_screen_t *screen = screens.data;

    // The scaler reads blue, green, red, pad bytes: 32 bits a pixel, least significant first,
    // 8 bits a channel (32 bits a pixel hold the 10-bit channels of depth 30 too).
    const x11::PixelLayout pixels =
            x11::serverPixelLayout(setup, screen->root_depth, screen->root_visual);
    if (!pixels.lsbFirst || pixels.bitsPerPixel != 32 || pixels.redMask != 0xff0000
            || pixels.greenMask != 0xff00 || pixels.blueMask != 0xff) {
        qCInfo(lcCapture) << "root window pixels are not 8-bit blue, green, red in 32 bits; depth"
                          << screen->root_depth;
        return nullptr;
    }
    impl->root = screen->root;
    impl->rootSize = QSize(screen->width_in_pixels, screen->height_in_pixels);

    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, impl->root, XCB_CW_EVENT_MASK, &mask);

    Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(connection, xcb_get_geometry(connection, impl->root), nullptr));
    if (geometry)
        impl->rootSize = QSize(geometry->width, geometry->height);
    impl->area = QRect(QPoint(0, 0), impl->rootSize);
    if (!options.monitor.isEmpty())
        impl->startMonitor(options.monitor);

    // A request of an extension the server lacks closes the whole connection (libxcb's
    // XCB_CONN_CLOSED_EXT_NOTSUPPORTED): its presence is asked first, as for the others.
    const xcb_query_extension_reply_t *shmExtension =
            xcb_get_extension_data(connection, &xcb_shm_id);
    if (shmExtension && shmExtension->present) {
        Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(
                connection, xcb_shm_query_version(connection), nullptr));
        impl->shmAvailable = bool(shm) && impl->ensureSegment();
    }
    if (impl->shmAvailable) {
        impl->startDamage();
        if (!impl->damage)
            qCInfo(lcCapture) << "no damage reports from the X server; every picture is grabbed "
                                 "whole";
    } else {
        // Nor are damage reports asked for: X.Org's servers can send one amid the bytes of a
        // large image reply, and the connection then miscounts every reply that follows, so
        // that no picture arrives any more.
        qCInfo(lcCapture) << "no shared memory with the X server; pictures come through the "
                             "socket, each grabbed whole";
    }
    if (options.showPointer) {
        impl->startPointer();
        if (!impl->pointerWanted)
            qCInfo(lcCapture) << "no XFIXES on the X server; the picture is shared without the "
                                 "mouse pointer";
    }
    return std::unique_ptr<XcbScreenSource>(new XcbScreenSource(std::move(impl)));
}

QSize XcbScreenSource::size()
{
    m_impl->takeEvents();
    m_impl->refreshArea();
    return m_impl->gone ? QSize() : m_impl->area.size();
}

QRect XcbScreenSource::area()
{
    size();
    return m_impl->gone ? QRect() : m_impl->area;
}

bool XcbScreenSource::areaGone()
{
    m_impl->takeEvents();
    m_impl->refreshArea();
    return m_impl->gone;
}

bool XcbScreenSource::usesSharedMemory() const
{
    return m_impl->shmAvailable;
}

bool XcbScreenSource::followsDrawing() const
{
    return m_impl->damage != 0;
}

bool XcbScreenSource::showsPointer() const
{
    return m_impl->pointerWanted;
}

DesktopChanges XcbScreenSource::takeChanges()
{
    Impl &d = *m_impl;
    if (!d.damage || d.gone)
        return DesktopChanges::unknown();
    d.takeEvents();
    if (xcb_connection_has_error(d.connection.get()))
        return DesktopChanges::unknown();
    // Nothing reported since the last subtract, which left the server's record empty: the
    // screen is as the last picture shows it. The server sends its reports as it draws, so a
    // still screen, the usual case, costs no round trip. The pointer and the chosen monitor
    // have no such reports, and are asked for below.
    if (!d.damagedAll && d.damaged.isEmpty() && !d.pointerWanted && d.monitorName.isEmpty())
        return DesktopChanges::rows(0, 0);
    // The subtract's round trip brings in every report of drawing done before it; drawing
    // after it is reported to the next call, and the grab that follows this call shows all
    // that was reported.
    // The pointer's answer comes back with the subtract's: no round trip of its own.
    const std::optional<Impl::PointerRequest> pointerRequest =
            d.pointerWanted ? std::optional(d.askPointer()) : std::nullopt;
    // So does the monitors' answer: the chosen monitor may have moved, changed or gone.
    const std::optional<x11::MonitorsRequest> monitorsRequest = !d.monitorName.isEmpty()
            ? std::optional(x11::askMonitors(d.connection.get(), d.root))
            : std::nullopt;
    const xcb_void_cookie_t subtract =
            xcb_damage_subtract_checked(d.connection.get(), d.damage, XCB_NONE, XCB_NONE);
    d.subtractSequence = std::uint16_t(subtract.sequence);
    d.subtracted = true;
    d.damagedSinceSubtract = QRect();
    Reply<xcb_generic_error_t> error(xcb_request_check(d.connection.get(), subtract));
    if (monitorsRequest) {
        d.takeArea(x11::takeMonitors(d.connection.get(), *monitorsRequest));
        if (d.gone)
            return DesktopChanges::unknown();
    }
    QRect pointerMoved;
    if (pointerRequest) {
        pointerMoved = d.takePointer(*pointerRequest) | d.pointerUnreported;
        d.pointerUnreported = QRect();
        d.pointerTaken = true;
    }
    d.takeEvents();
    // The pointer changed shape while its place was asked for: the shape is fetched now, so
    // that what this call reports includes it.
    if (pointerRequest && d.pointerShapeStale)
        pointerMoved |= d.takePointer(d.askPointer());
    // Drawing is reported on the root window; the pointer's place is already the picture's.
    const QRect picture(QPoint(0, 0), d.area.size());
    const QRect drawn = (d.damaged & d.area).translated(-d.area.topLeft());
    const QRect damaged = d.damagedAll || error ? picture : (drawn | pointerMoved) & picture;
    d.damagedAll = false;
    d.damaged = d.damagedSinceSubtract;
    if (damaged.isEmpty())
        return DesktopChanges::rows(0, 0);
    return DesktopChanges::rows(damaged.top(), damaged.bottom() + 1);
}

std::optional<PixelView> XcbScreenSource::grab()
{
    Impl &d = *m_impl;
    d.dropBands();
    d.takeEvents();
    d.refreshArea();
    d.areaFresh = false;
    d.preparePointer();
    return grabWhole();
}

std::optional<PixelView> XcbScreenSource::grabWhole()
{
    Impl &d = *m_impl;
    if (!d.grabbable())
        return std::nullopt;
    xcb_connection_t *connection = d.connection.get();
    const auto x = std::int16_t(d.area.x());
    const auto y = std::int16_t(d.area.y());
    const auto width = std::uint16_t(d.area.width());
    const auto height = std::uint16_t(d.area.height());

    if (d.shmAvailable && d.ensureSegment()) {
        xcb_generic_error_t *rawError = nullptr;
        Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(connection,
                xcb_shm_get_image(connection, d.root, x, y, width, height, ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, d.segment, 0),
                &rawError));
        Reply<xcb_generic_error_t> error(rawError);
        countGrab();
        if (!reply || error)
            return std::nullopt;
        d.drawPointer(d.shmAddress, 0, height);
        return PixelView{ d.shmAddress, width, height, width * 4 };
    }

    xcb_generic_error_t *rawError = nullptr;
    d.lastImage.reset(xcb_get_image_reply(connection,
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, d.root, x, y, width, height, ~0u),
            &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    countGrab();
    if (!d.lastImage || error
            || xcb_get_image_data_length(d.lastImage.get()) < int(width) * height * 4)
        return std::nullopt;
    d.drawPointer(xcb_get_image_data(d.lastImage.get()), 0, height);
    return PixelView{ xcb_get_image_data(d.lastImage.get()), width, height, width * 4 };
}

std::optional<PixelView> XcbScreenSource::startGrab()
{
    Impl &d = *m_impl;
    d.dropBands();
    d.takeEvents();
    d.refreshArea();
    d.areaFresh = false;
    d.preparePointer();
    if (!d.shmAvailable || !d.grabbable() || !d.ensureSegment()) {
        // The whole picture at once, the plain way.
        const std::optional<PixelView> whole = grabWhole();
        d.rowsIn = whole ? whole->height : -1;
        return whole;
    }
    const int width = d.area.width();
    const int height = d.area.height();
    const int stride = width * 4;
    for (int band = 0; band < Impl::Bands; ++band) {
        const int top = height * band / Impl::Bands;
        const int bottom = height * (band + 1) / Impl::Bands;
        if (bottom <= top)
            continue;
        d.bandCookies.push_back(xcb_shm_get_image(d.connection.get(), d.root,
                std::int16_t(d.area.x()), std::int16_t(d.area.y() + top), std::uint16_t(width),
                std::uint16_t(bottom - top), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, d.segment,
                std::uint32_t(top) * std::uint32_t(stride)));
        d.bandEnds.push_back(bottom);
    }
    xcb_flush(d.connection.get());
    countGrab();
    d.rowsIn = 0;
    return PixelView{ d.shmAddress, width, height, stride };
}

std::optional<PixelView> XcbScreenSource::grabRows(int top, int bottom)
{
    Impl &d = *m_impl;
    d.dropBands();
    d.takeEvents();
    d.refreshArea();
    d.areaFresh = false;
    d.preparePointer();
    top = std::max(top, 0);
    bottom = std::min(bottom, d.area.height());
    if (!d.shmAvailable || !d.grabbable() || !d.ensureSegment() || bottom <= top)
        return grabWhole();
    xcb_connection_t *connection = d.connection.get();
    const int width = d.area.width();
    const int stride = width * 4;
    xcb_generic_error_t *rawError = nullptr;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(connection,
            xcb_shm_get_image(connection, d.root, std::int16_t(d.area.x()),
                    std::int16_t(d.area.y() + top), std::uint16_t(width),
                    std::uint16_t(bottom - top), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, d.segment,
                    std::uint32_t(top) * std::uint32_t(stride)),
            &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    countGrab();
    if (!reply || error)
        return std::nullopt;
    d.drawPointer(d.shmAddress, top, bottom);
    return PixelView{ d.shmAddress, width, d.area.height(), stride };
}

int XcbScreenSource::rowsArrived(bool wait)
{
    Impl &d = *m_impl;
    xcb_connection_t *connection = d.connection.get();
    while (d.rowsIn >= 0 && d.bandsIn < d.bandCookies.size()) {
        void *rawReply = nullptr;
        xcb_generic_error_t *rawError = nullptr;
        const unsigned int sequence = d.bandCookies[d.bandsIn].sequence;
        if (wait) {
            rawReply = xcb_shm_get_image_reply(connection, d.bandCookies[d.bandsIn], &rawError);
            wait = false;
        } else if (!xcb_poll_for_reply(connection, sequence, &rawReply, &rawError)) {
            break; // not in yet
        }
        Reply<void> reply(rawReply);
        Reply<xcb_generic_error_t> error(rawError);
        if (!reply || error) {
            ++d.bandsIn;
            d.dropBands();
            d.rowsIn = -1;
            break;
        }
        // Each band gets the pointer before the caller hears it is in.
        d.drawPointer(d.shmAddress, d.rowsIn, d.bandEnds[d.bandsIn]);
        d.rowsIn = d.bandEnds[d.bandsIn++];
    }
    return d.rowsIn;
}

} // namespace capture
