#include "test_windows.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cstdlib>
#include <xcb/xcb.h>

namespace testwindows {

namespace {

struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};

} // namespace

void TestDisplay::Disconnect::operator()(xcb_connection_t *connection) const
{
    xcb_disconnect(connection);
}

TestDisplay::TestDisplay()
{
    // An X server started without -noreset resets when its last client leaves and refuses
    // connections meanwhile: another test process may just have left.
    QDeadlineTimer deadline(5000);
    for (;;) {
        m_connection.reset(xcb_connect(nullptr, nullptr));
        if (!xcb_connection_has_error(m_connection.get()) || deadline.hasExpired()
                || qEnvironmentVariableIsEmpty("DISPLAY"))
            break;
        QThread::msleep(10);
    }
    if (xcb_connection_has_error(m_connection.get()))
        return;
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get())).data;
    m_root = screen->root;
    m_visual = screen->root_visual;
}

TestDisplay::~TestDisplay() = default;

bool TestDisplay::isOpen() const
{
    return m_root != 0 && !xcb_connection_has_error(m_connection.get());
}

std::uint32_t TestDisplay::atom(const QByteArray &name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(
            xcb_intern_atom_reply(m_connection.get(),
                    xcb_intern_atom(m_connection.get(), 0, name.size(), name.data()), nullptr));
    return reply ? reply->atom : 0;
}

std::uint32_t TestDisplay::create(const WindowRecipe &recipe)
{
    xcb_connection_t *c = m_connection.get();
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = { recipe.colour, recipe.overrideRedirect ? 1u : 0u };
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, m_root, std::int16_t(recipe.geometry.x()),
            std::int16_t(recipe.geometry.y()), std::uint16_t(recipe.geometry.width()),
            std::uint16_t(recipe.geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, m_visual,
            XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);

    if (recipe.wmNameOnly) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                recipe.wmNameOnly->size(), recipe.wmNameOnly->constData());
    } else if (!recipe.title.isEmpty()) {
        setTitle(window, recipe.title);
        if (recipe.netNameOnly)
            xcb_delete_property(c, window, XCB_ATOM_WM_NAME);
    }
    if (!recipe.wmClass.isEmpty()) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                recipe.wmClass.size(), recipe.wmClass.constData());
    }
    std::vector<std::uint32_t> types;
    for (const QByteArray &type : recipe.types)
        types.push_back(atom(type));
    if (!types.empty()) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_WINDOW_TYPE"),
                XCB_ATOM_ATOM, 32, types.size(), types.data());
    }
    std::vector<std::uint32_t> states;
    for (const QByteArray &state : recipe.states)
        states.push_back(atom(state));
    if (!states.empty()) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_STATE"), XCB_ATOM_ATOM,
                32, states.size(), states.data());
    }
    if (recipe.transientFor != 0) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_TRANSIENT_FOR,
                XCB_ATOM_WINDOW, 32, 1, &recipe.transientFor);
    }
    if (recipe.mapped)
        xcb_map_window(c, window);
    sync();
    return window;
}

std::uint32_t TestDisplay::addChild(
        std::uint32_t parent, const QRect &geometry, std::uint32_t colour)
{
    xcb_connection_t *c = m_connection.get();
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, parent, std::int16_t(geometry.x()),
            std::int16_t(geometry.y()), std::uint16_t(geometry.width()),
            std::uint16_t(geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, m_visual,
            XCB_CW_BACK_PIXEL, &colour);
    xcb_map_window(c, window);
    sync();
    return window;
}

void TestDisplay::raise(std::uint32_t window)
{
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(m_connection.get(), window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    sync();
}

void TestDisplay::unmap(std::uint32_t window)
{
    xcb_unmap_window(m_connection.get(), window);
    sync();
}

void TestDisplay::destroy(std::uint32_t window)
{
    xcb_destroy_window(m_connection.get(), window);
    sync();
}

void TestDisplay::setTitle(std::uint32_t window, const QString &title)
{
    const QByteArray utf8 = title.toUtf8();
    xcb_change_property(m_connection.get(), XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_NAME"),
            atom("UTF8_STRING"), 8, utf8.size(), utf8.constData());
    const QByteArray latin1 = title.toLatin1();
    xcb_change_property(m_connection.get(), XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME,
            XCB_ATOM_STRING, 8, latin1.size(), latin1.constData());
    sync();
}

void TestDisplay::sync()
{
    // A round trip: when its answer is here the server has carried out every earlier request.
    std::unique_ptr<xcb_get_input_focus_reply_t, FreeDeleter> reply(xcb_get_input_focus_reply(
            m_connection.get(), xcb_get_input_focus(m_connection.get()), nullptr));
}

QString uniqueTitle(const char *what)
{
    return QString("h7 %1 %2").arg(what).arg(QCoreApplication::applicationPid());
}

} // namespace testwindows
