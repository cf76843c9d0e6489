// The desktop notification at the end of a run: how many files were
// converted, which were not and why, and a button that opens the folder
// they went to.
#include "app/gtk/desktop_app.h"

namespace vrelk::desktop {
namespace {

constexpr std::size_t kNamedSkips = 8;
// The notice's button reaches this process, so it stays for a while after
// its last window; the desktop keeps notices far longer, but a program
// with no window should not.
constexpr guint kNoticeSeconds = 120;

std::string noticeBody(const RunTotals& totals)
{
    std::string body;
    if (totals.message)
        body += std::string(errorText(*totals.message)) + "\n";
    body += totals.cancelled ? cancelledText(totals.converted) : countText(UiCount::converted, totals.converted);
    if (totals.skipped.empty())
        return body;
    body += "\n" + std::string(uiText(UiText::notConverted));
    for (std::size_t i = 0; i < totals.skipped.size() && i < kNamedSkips; ++i)
        body += "\n" + totals.skipped[i].first + ": " + totals.skipped[i].second;
    if (totals.skipped.size() > kNamedSkips)
        body += "\n" + countText(UiCount::more, totals.skipped.size() - kNamedSkips);
    return body;
}

void openFolder(GSimpleAction*, GVariant* uri, gpointer)
{
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(g_variant_get_string(uri, nullptr), nullptr, &error)) {
        g_printerr("vrelk-gtk: %s\n", error->message);
        g_error_free(error);
    }
}

}  // namespace

void AddNoticeActions(DesktopApp& app)
{
    static const GActionEntry kActions[] = {{"open-folder", openFolder, "s", nullptr, nullptr, {}}};
    g_action_map_add_action_entries(G_ACTION_MAP(app.application), kActions, G_N_ELEMENTS(kActions), &app);
}

void SendNotice(DesktopApp& app, const RunTotals& totals)
{
    const std::string body = noticeBody(totals);
    g_printerr("%s\n", body.c_str());
    GNotification* notice = g_notification_new(kWindowTitle);
    g_notification_set_body(notice, body.c_str());
    gchar* uri = totals.outputFolder.empty() ? nullptr : g_filename_to_uri(totals.outputFolder.c_str(), nullptr, nullptr);
    if (uri) {
        g_notification_add_button_with_target_value(notice, std::string(uiText(UiText::openFolder)).c_str(),
                                                    "app.open-folder", g_variant_new_string(uri));
        g_notification_set_default_action_and_target_value(notice, "app.open-folder", g_variant_new_string(uri));
        g_free(uri);
    }
    g_application_send_notification(G_APPLICATION(app.application), "batch", notice);
    g_object_unref(notice);
    g_application_hold(G_APPLICATION(app.application));
    g_timeout_add_seconds(kNoticeSeconds, +[](gpointer application) {
        g_application_release(G_APPLICATION(application));
        return G_SOURCE_REMOVE;
    }, app.application);
}

}  // namespace vrelk::desktop
