// The settings dialog: every setting the desktop program uses, with the
// bounds of the settings table, written to the file vrelk reads. The
// plug-in settings, which only Windows uses, stay in the file as they are.
#include <array>
#include <algorithm>
#include <functional>
#include <span>

#include "app/gtk/desktop_app.h"

namespace vrelk::desktop {
namespace {

// A control and how it takes its setting and gives it back.
struct Binding {
    std::function<void(Settings&)> apply;
};

struct SettingsDialog {
    DesktopApp* app = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* grid = nullptr;
    int rows = 0;
    std::vector<Binding> bindings;
};

struct Choice {
    UiText text;
    std::int32_t value;
};

constexpr std::array<Choice, 3> kSides{{
    {UiText::sideWidth, kReduceWidth}, {UiText::sideHeight, kReduceHeight}, {UiText::sideLonger, kReduceLongerSide},
}};
constexpr std::array<Choice, 3> kMetadataChoices{{
    {UiText::metadataNone, 0}, {UiText::metadataAll, 1}, {UiText::metadataNoLocation, 2},
}};

std::string text(UiText id) { return std::string(uiText(id)); }

void attachRow(SettingsDialog& dialog, const std::string& caption, GtkWidget* control, GtkWidget* extra = nullptr)
{
    GtkWidget* label = gtk_label_new(caption.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_grid_attach(GTK_GRID(dialog.grid), label, 0, dialog.rows, 1, 1);
    gtk_grid_attach(GTK_GRID(dialog.grid), control, 1, dialog.rows, extra ? 1 : 2, 1);
    if (extra)
        gtk_grid_attach(GTK_GRID(dialog.grid), extra, 2, dialog.rows, 1, 1);
    ++dialog.rows;
}

GtkWidget* spin(SettingsDialog& dialog, const NumberKey& key, std::int32_t Settings::*field)
{
    GtkWidget* control = gtk_spin_button_new_with_range(key.low, key.high, 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(control), dialog.app->settings.*field);
    dialog.bindings.push_back({[control, field](Settings& s) {
        s.*field = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(control));
    }});
    return control;
}

GtkWidget* check(SettingsDialog& dialog, UiText caption, bool Settings::*field)
{
    GtkWidget* control = gtk_check_button_new_with_label(text(caption).c_str());
    gtk_check_button_set_active(GTK_CHECK_BUTTON(control), dialog.app->settings.*field);
    dialog.bindings.push_back({[control, field](Settings& s) {
        s.*field = gtk_check_button_get_active(GTK_CHECK_BUTTON(control));
    }});
    return control;
}

// A drop-down of `names` for the values `values`, index for index; a
// stored value that is none of them shows the last.
GtkWidget* choice(SettingsDialog& dialog, const std::vector<std::string>& names, std::vector<std::int32_t> values,
                  std::int32_t Settings::*field)
{
    std::vector<const char*> strings;
    for (const std::string& name : names)
        strings.push_back(name.c_str());
    strings.push_back(nullptr);
    GtkWidget* control = gtk_drop_down_new_from_strings(strings.data());
    const auto at = std::find(values.begin(), values.end(), dialog.app->settings.*field);
    const auto selected = at == values.end() ? values.size() - 1 : static_cast<std::size_t>(at - values.begin());
    gtk_drop_down_set_selected(GTK_DROP_DOWN(control), static_cast<guint>(selected));
    dialog.bindings.push_back({[control, values = std::move(values), field](Settings& s) {
        const guint index = gtk_drop_down_get_selected(GTK_DROP_DOWN(control));
        if (index < values.size())
            s.*field = values[index];
    }});
    return control;
}

GtkWidget* choiceOf(SettingsDialog& dialog, std::span<const Choice> choices, std::int32_t Settings::*field)
{
    std::vector<std::string> names;
    std::vector<std::int32_t> values;
    for (const Choice& entry : choices) {
        names.push_back(text(entry.text));
        values.push_back(entry.value);
    }
    return choice(dialog, names, std::move(values), field);
}

GtkWidget* entry(SettingsDialog& dialog, platform::NativeString Settings::*field, int maxLength, UiText placeholder)
{
    GtkWidget* control = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(control), maxLength);
    gtk_editable_set_text(GTK_EDITABLE(control), platform::toUtf8(dialog.app->settings.*field).c_str());
    gtk_entry_set_placeholder_text(GTK_ENTRY(control), text(placeholder).c_str());
    gtk_widget_set_hexpand(control, TRUE);
    dialog.bindings.push_back({[control, field](Settings& s) {
        s.*field = platform::fromUtf8(gtk_editable_get_text(GTK_EDITABLE(control)));
    }});
    return control;
}

GtkWidget* outputFolderEntry(SettingsDialog& dialog)
{
    GtkWidget* control = gtk_entry_new();
    gtk_editable_set_text(GTK_EDITABLE(control), dialog.app->settings.OutDir.c_str());
    gtk_entry_set_placeholder_text(GTK_ENTRY(control), text(UiText::sameFolder).c_str());
    dialog.bindings.push_back({[control](Settings& s) {
        s.OutDir = Path(gtk_editable_get_text(GTK_EDITABLE(control)));
        if (!s.OutDir.empty() && !platform::folderExists(s.OutDir))
            s.OutDir.clear();
    }});
    return control;
}

void enableWith(GtkWidget* check, GtkWidget* control, bool inverted = false)
{
    g_object_bind_property(check, "active", control, "sensitive",
                           GBindingFlags(G_BINDING_SYNC_CREATE | (inverted ? G_BINDING_INVERT_BOOLEAN : G_BINDING_DEFAULT)));
}

void outputRows(SettingsDialog& dialog)
{
    std::vector<std::string> names{text(UiText::chooseEachTime)};
    std::vector<std::int32_t> values{0};
    for (const OutputFormat& format : OutputFormats()) {
        names.emplace_back(format.name);
        values.push_back(format.directChoice);
    }
    attachRow(dialog, text(UiText::outputFormat), choice(dialog, names, std::move(values), &Settings::DrctCvt));
    GtkWidget* quality = spin(dialog, keys::kQuality, &Settings::Quality);
    attachRow(dialog, text(UiText::quality), quality);
    std::vector<std::string> samplings;
    std::vector<std::int32_t> samplingValues;
    for (const NamedValue& sampling : keys::kSamplings) {
        const bool japanese = messageLanguage() == Language::japanese;
        samplings.emplace_back(japanese ? (sampling.value == 0 ? "4:1" : "1:1") : std::string(sampling.cliName));
        samplingValues.push_back(sampling.value);
    }
    attachRow(dialog, text(UiText::sampling), choice(dialog, samplings, std::move(samplingValues), &Settings::Sampling));
    GtkWidget* limit = check(dialog, UiText::sizeTarget, &Settings::Limit);
    GtkWidget* kilobytes = spin(dialog, keys::kLmtVal, &Settings::LmtVal);
    gtk_grid_attach(GTK_GRID(dialog.grid), limit, 0, dialog.rows, 2, 1);
    gtk_grid_attach(GTK_GRID(dialog.grid), kilobytes, 2, dialog.rows++, 1, 1);
    enableWith(limit, kilobytes);
    enableWith(limit, quality, true);
}

void reductionRows(SettingsDialog& dialog)
{
    GtkWidget* reduce = check(dialog, UiText::reduceTo, &Settings::Resize);
    GtkWidget* side = choiceOf(dialog, kSides, &Settings::RszOpt);
    GtkWidget* size = spin(dialog, keys::kRszSize, &Settings::RszSize);
    gtk_grid_attach(GTK_GRID(dialog.grid), reduce, 0, dialog.rows, 1, 1);
    gtk_grid_attach(GTK_GRID(dialog.grid), side, 1, dialog.rows, 1, 1);
    gtk_grid_attach(GTK_GRID(dialog.grid), size, 2, dialog.rows++, 1, 1);
    gtk_widget_set_tooltip_text(size, text(UiText::pixels).c_str());
    enableWith(reduce, side);
    enableWith(reduce, size);
}

void folderRows(SettingsDialog& dialog)
{
    attachRow(dialog, text(UiText::outputFolder), outputFolderEntry(dialog));
    GtkWidget* makeFolder = check(dialog, UiText::subFolder, &Settings::MkDirAdd);
    GtkWidget* folderName = entry(dialog, &Settings::MkDirStr, 20, UiText::subFolder);
    gtk_grid_attach(GTK_GRID(dialog.grid), makeFolder, 0, dialog.rows, 2, 1);
    gtk_grid_attach(GTK_GRID(dialog.grid), folderName, 2, dialog.rows++, 1, 1);
    enableWith(makeFolder, folderName);
    gtk_grid_attach(GTK_GRID(dialog.grid), check(dialog, UiText::keepAlpha, &Settings::KeepAlpha), 0, dialog.rows++, 3, 1);
    attachRow(dialog, text(UiText::metadata), choiceOf(dialog, kMetadataChoices, &Settings::KeepMeta));
    gtk_grid_attach(GTK_GRID(dialog.grid), check(dialog, UiText::keepTime, &Settings::KeepTime), 0, dialog.rows++, 3, 1);
}

void applyAndClose(SettingsDialog& dialog)
{
    DesktopApp& app = *dialog.app;
    for (const Binding& binding : dialog.bindings)
        binding.apply(app.settings);
    if (!app.settingsFile.empty())
        (void)SaveSettings(app.settings, app.settingsFile);  // not reported: the values are simply not kept
    app.settingsChanged = false;
    RefreshFormatWindow(app);
    gtk_window_destroy(GTK_WINDOW(dialog.window));
}

}  // namespace

void ShowSettingsDialog(DesktopApp& app, GtkWindow* parent)
{
    auto dialog = std::make_unique<SettingsDialog>();
    dialog->app = &app;
    dialog->window = gtk_application_window_new(app.application);
    gtk_window_set_title(GTK_WINDOW(dialog->window), kWindowTitle);
    gtk_window_set_resizable(GTK_WINDOW(dialog->window), FALSE);
    if (parent) {
        gtk_window_set_transient_for(GTK_WINDOW(dialog->window), parent);
        gtk_window_set_modal(GTK_WINDOW(dialog->window), TRUE);
        gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog->window), TRUE);
    }
    dialog->grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(dialog->grid), 8);
    gtk_grid_set_column_spacing(GTK_GRID(dialog->grid), 12);
    for (auto margin : {gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
                        gtk_widget_set_margin_end})
        margin(dialog->grid, 12);
    outputRows(*dialog);
    reductionRows(*dialog);
    folderRows(*dialog);
    GtkWidget* close = gtk_button_new_with_label(text(UiText::close).c_str());
    gtk_widget_set_halign(close, GTK_ALIGN_END);
    gtk_grid_attach(GTK_GRID(dialog->grid), close, 0, dialog->rows, 3, 1);
    gtk_window_set_child(GTK_WINDOW(dialog->window), dialog->grid);

    // The window owns the record; closing it either way applies the controls.
    SettingsDialog* record = dialog.release();
    g_object_set_data_full(G_OBJECT(record->window), "vrelk-settings-dialog", record,
                           [](gpointer data) { std::unique_ptr<SettingsDialog> owned(static_cast<SettingsDialog*>(data)); });
    g_signal_connect_swapped(close, "clicked", G_CALLBACK(+[](gpointer data) {
                                 applyAndClose(*static_cast<SettingsDialog*>(data));
                             }),
                             record);
    g_signal_connect_swapped(record->window, "close-request", G_CALLBACK(+[](gpointer data) -> gboolean {
                                 applyAndClose(*static_cast<SettingsDialog*>(data));
                                 return TRUE;
                             }),
                             record);
    gtk_window_present(GTK_WINDOW(record->window));
}

}  // namespace vrelk::desktop
