#include "command_line.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace commandline {

namespace {

// Qt's own options, as the application object and the platform plugins take them.
constexpr std::array<std::string_view, 17> QtOptionsWithValue = { "-platform",
    "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry", "-geometry",
    "-qwindowtitle", "-title", "-qwindowicon", "-icon", "-session", "-style", "-stylesheet",
    "-display", "-name", "-visual", "-qmljsdebugger" };
constexpr std::array<std::string_view, 7> QtFlags = { "-reverse", "-testability", "-widgetcount",
    "-nograb", "-dograb", "-qdevel", "-qdebug" };
constexpr std::array<std::string_view, 3> QtOptionsWithJoinedValue = {
    "-style=", "-stylesheet=", "-qmljsdebugger="
};
constexpr std::array<std::string_view, 5> OwnOptions = { "--show-pointer", "-h", "--help", "-v",
    "--version" };

template <std::size_t N>
bool listed(const std::array<std::string_view, N> &list, std::string_view arg)
{
    return std::find(list.begin(), list.end(), arg) != list.end();
}

} // namespace

std::optional<std::string> firstUnknownArgument(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (listed(OwnOptions, arg))
            continue;
        // Qt reads "--name" as "-name".
        const std::string_view qtArg = arg.starts_with("--") ? arg.substr(1) : arg;
        if (listed(QtFlags, qtArg))
            continue;
        if (std::any_of(QtOptionsWithJoinedValue.begin(), QtOptionsWithJoinedValue.end(),
                    [&](std::string_view prefix) { return qtArg.starts_with(prefix); }))
            continue;
        if (listed(QtOptionsWithValue, qtArg) && i + 1 < argc) {
            ++i;
            continue;
        }
        return std::string(arg);
    }
    return std::nullopt;
}

} // namespace commandline
