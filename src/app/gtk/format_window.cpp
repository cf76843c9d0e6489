// The window of format buttons: the Windows program's buttons, in its
// order and with its keys, the reduction check box and the settings button.
#include <array>
#include <cstdlib>

#include "app/commands.h"
#include "app/gtk/desktop_app.h"

namespace vrelk::desktop {
namespace {

// The Windows window's rows: one-file-type formats first, then the two
// JPEG writes. A key whose format does not exist gives no button.
constexpr std::array<std::string_view, 2> kButtonRows{"BPGWA", "JT"};

constexpr const char* kOutputTypeKey = "vrelk-output-type";

void forgetWindow(DesktopApp& app)
{
    app.formatWindow = nullptr;
    app.fileCount = nullptr;
    app.reduceCheck = nullptr;
    app.recodeButton = nullptr;
}

void convertAs(DesktopApp& app, const OutputFormat& format)
{
    if (app.pending.empty())
        return;
    app.settings.outputType = format.outputType;
    QueueBatch(app, std::exchange(app.pending, {}), format.outputType);
    GtkWidget* window = app.formatWindow;
    forgetWindow(app);
    if (window)
        gtk_window_destroy(GTK_WINDOW(window));
}

void showReductionEnables(DesktopApp& app)
{
    if (app.recodeButton)
        gtk_widget_set_sensitive(app.recodeButton, !app.settings.Resize);
}

void onReduceToggled(GtkCheckButton* check, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    app.settings.Resize = gtk_check_button_get_active(check);
    app.settingsChanged = true;
    showReductionEnables(app);
}

void openSettings(DesktopApp& app) { ShowSettingsDialog(app, GTK_WINDOW(app.formatWindow)); }

// Letters act whichever control has the focus, also on a greyed button,
// as on Windows.
gboolean onKeyPressed(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    if (keyval == GDK_KEY_Escape) {
        gtk_window_close(GTK_WINDOW(app.formatWindow));
        return TRUE;
    }
    if (state & (GDK_CONTROL_MASK | GDK_ALT_MASK | GDK_SUPER_MASK))
        return FALSE;
    const guint upper = gdk_keyval_to_upper(keyval);
    if (upper == GDK_KEY_S) {
        openSettings(app);
        return TRUE;
    }
    if (upper < 'A' || upper > 'Z')
        return FALSE;
    const OutputFormat* format = OutputForKey(static_cast<char>(upper));
    if (!format)
        return FALSE;
    convertAs(app, *format);
    return TRUE;
}

gboolean onCloseRequest(GtkWindow*, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    app.pending.clear();
    forgetWindow(app);
    return FALSE;
}

GtkWidget* formatButton(DesktopApp& app, const OutputFormat& format)
{
    GtkWidget* button = gtk_button_new_with_label(std::string(buttonLabel(format, messageLanguage())).c_str());
    g_object_set_data(G_OBJECT(button), kOutputTypeKey, GINT_TO_POINTER(format.outputType));
    g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* clicked, gpointer data) {
                         const int outputType = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(clicked), kOutputTypeKey));
                         convertAs(*static_cast<DesktopApp*>(data), OutputFormatOf(outputType));
                     }),
                     &app);
    if (format.command == kCommandRecode)
        app.recodeButton = button;
    return button;
}

GtkWidget* buttonRows(DesktopApp& app)
{
    GtkWidget* rows = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    for (std::string_view keys : kButtonRows) {
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
        gtk_widget_set_halign(row, GTK_ALIGN_CENTER);
        for (char key : keys)
            if (const OutputFormat* format = OutputForKey(key))
                gtk_box_append(GTK_BOX(row), formatButton(app, *format));
        gtk_box_append(GTK_BOX(rows), row);
    }
    return rows;
}

GtkWidget* lowerRow(DesktopApp& app)
{
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    app.reduceCheck = gtk_check_button_new_with_label(std::string(uiText(UiText::reduce)).c_str());
    gtk_check_button_set_active(GTK_CHECK_BUTTON(app.reduceCheck), app.settings.Resize);
    g_signal_connect(app.reduceCheck, "toggled", G_CALLBACK(onReduceToggled), &app);
    GtkWidget* settings = gtk_button_new_with_label(std::string(uiText(UiText::settings)).c_str());
    g_signal_connect_swapped(settings, "clicked", G_CALLBACK(+[](gpointer data) {
                                 openSettings(*static_cast<DesktopApp*>(data));
                             }),
                             &app);
    gtk_widget_set_hexpand(app.reduceCheck, TRUE);
    gtk_box_append(GTK_BOX(row), app.reduceCheck);
    gtk_box_append(GTK_BOX(row), settings);
    return row;
}

// VRELK_GTK_QUIT_WHEN_SHOWN ends the program once the window's first frame
// is drawn: the start-up benchmark times a whole run to that point.
void quitWhenShownIfAsked(DesktopApp& app, GtkWidget* window)
{
    if (!std::getenv("VRELK_GTK_QUIT_WHEN_SHOWN"))
        return;
    g_signal_connect(window, "map", G_CALLBACK(+[](GtkWidget* widget, gpointer data) {
                         GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
                         g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(g_application_quit), data);
                     }),
                     app.application);
}

GtkWidget* createFormatWindow(DesktopApp& app)
{
    GtkWidget* window = gtk_application_window_new(app.application);
    gtk_window_set_title(GTK_WINDOW(window), kWindowTitle);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    for (auto margin : {gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
                        gtk_widget_set_margin_end})
        margin(content, 12);
    app.fileCount = gtk_label_new("");
    gtk_widget_set_halign(app.fileCount, GTK_ALIGN_START);
    gtk_box_append(GTK_BOX(content), app.fileCount);
    gtk_box_append(GTK_BOX(content), buttonRows(app));
    gtk_box_append(GTK_BOX(content), lowerRow(app));
    gtk_window_set_child(GTK_WINDOW(window), content);

    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(onKeyPressed), &app);
    gtk_widget_add_controller(window, keys);
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), &app);
    quitWhenShownIfAsked(app, window);
    showReductionEnables(app);
    return window;
}

}  // namespace

void ShowFormatWindow(DesktopApp& app)
{
    if (!app.formatWindow)
        app.formatWindow = createFormatWindow(app);
    gtk_label_set_text(GTK_LABEL(app.fileCount), countText(UiCount::files, app.pending.size()).c_str());
    gtk_window_present(GTK_WINDOW(app.formatWindow));
}

void RefreshFormatWindow(DesktopApp& app)
{
    if (!app.formatWindow)
        return;
    gtk_check_button_set_active(GTK_CHECK_BUTTON(app.reduceCheck), app.settings.Resize);
    showReductionEnables(app);
}

}  // namespace vrelk::desktop
