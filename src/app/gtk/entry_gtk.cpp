// The Linux desktop program, vrelk-gtk: started by a file manager with the
// selected files, it shows the format window (or converts at once to the
// format its entry names, or DrctCvt fixes); a second start while it runs
// hands its files over and ends.
#include <cstdlib>
#include <iostream>

#include "app/gtk/desktop_app.h"
#include "app/gtk/user_actions.h"

namespace {

using namespace vrelk;
using namespace vrelk::desktop;

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitBadOption = 2, kContinue = -1 };

const GOptionEntry kOptions[] = {
    {"format", 'f', 0, G_OPTION_ARG_STRING, nullptr, "Convert to FORMAT without asking", "FORMAT"},
    {"install-user-actions", 0, 0, G_OPTION_ARG_NONE, nullptr,
     "Add the entries of Nautilus scripts and Thunar custom actions for this user", nullptr},
    {"remove-user-actions", 0, 0, G_OPTION_ARG_NONE, nullptr, "Remove those entries", nullptr},
    {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, nullptr, nullptr, "FILE…"},
    {},
};

int changeUserActions(bool install)
{
    const std::optional<UserActionFolders> folders = userActionFolders();
    if (!folders) {
        std::cerr << "vrelk-gtk: neither HOME nor XDG_DATA_HOME and XDG_CONFIG_HOME name a folder" << std::endl;
        return kExitFailed;
    }
    const std::optional<std::string> problem =
        install ? InstallUserActions(shell::executablePath(), *folders, messageLanguage()) : RemoveUserActions(*folders);
    if (problem)
        std::cerr << "vrelk-gtk: " << *problem << std::endl;
    return problem ? kExitFailed : kExitOk;
}

// The files go to the running program, or to this one when it is the
// first: the format name travels as the open call's hint.
int openFiles(GApplication* application, const gchar* const* names, const char* format)
{
    GError* error = nullptr;
    if (!g_application_register(application, nullptr, &error)) {
        std::cerr << "vrelk-gtk: " << error->message << std::endl;
        g_error_free(error);
        return kExitFailed;
    }
    std::vector<GFile*> files;
    for (const gchar* const* name = names; *name; ++name)
        files.push_back(g_file_new_for_commandline_arg(*name));
    g_application_open(application, files.data(), static_cast<gint>(files.size()), format ? format : "");
    for (GFile* file : files)
        g_object_unref(file);
    return g_application_get_is_remote(application) ? kExitOk : kContinue;
}

gint onLocalOptions(GApplication* application, GVariantDict* options, gpointer)
{
    if (g_variant_dict_contains(options, "install-user-actions"))
        return changeUserActions(true);
    if (g_variant_dict_contains(options, "remove-user-actions"))
        return changeUserActions(false);
    const char* format = nullptr;
    g_variant_dict_lookup(options, "format", "&s", &format);
    if (format && !OutputForCliName(format)) {
        std::cerr << "vrelk-gtk: unknown format " << format << std::endl;
        return kExitBadOption;
    }
    const gchar** names = nullptr;
    if (!g_variant_dict_lookup(options, G_OPTION_REMAINING, "^a&ay", &names) || !names)
        return kContinue;
    const int status = *names ? openFiles(application, names, format) : kContinue;
    g_free(names);
    return status;
}

void onStartup(GApplication*, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    // The file vrelk reads, beside this program or in the user's folder.
    const Path vrelk = shell::executablePath().parent_path() / shell::kExecutableName;
    app.settingsFile = LocateSettingsFile(WithoutUserFolder::nowhere, vrelk).value_or(Path());
    app.settings = LoadSettings(app.settingsFile);
    AddNoticeActions(app);
}

void onOpen(GApplication*, GFile** files, gint count, const gchar* hint, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    app.filesArrived = true;
    std::vector<Path> paths;
    for (gint i = 0; i < count; ++i) {
        if (gchar* path = g_file_get_path(files[i])) {
            paths.emplace_back(path);
            g_free(path);
        }
    }
    if (paths.empty())
        return;
    const OutputFormat* fixed = hint && *hint ? OutputForCliName(hint) : OutputForDirectChoice(app.settings.DrctCvt);
    if (fixed) {
        QueueBatch(app, std::move(paths), fixed->outputType);
        return;
    }
    app.pending.insert(app.pending.end(), std::make_move_iterator(paths.begin()), std::make_move_iterator(paths.end()));
    ShowFormatWindow(app);
}

// Started without files: the settings.
void onActivate(GApplication*, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    if (!app.filesArrived)
        ShowSettingsDialog(app, nullptr);
}

void onShutdown(GApplication*, gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    if (app.settingsFile.empty())
        return;
    if (app.settingsChanged)
        (void)SaveSettings(app.settings, app.settingsFile);  // not reported: the values are simply not kept
    else if (!platform::pathExists(app.settingsFile))
        (void)CreateSettingsFile(app.settings, app.settingsFile);
}

}  // namespace

int main(int argc, char** argv)
{
    setMessageLanguage(languageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")));
    DesktopApp app;
    app.application = gtk_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN);
    GApplication* application = G_APPLICATION(app.application);
    g_application_add_main_option_entries(application, kOptions);
    g_signal_connect(application, "handle-local-options", G_CALLBACK(onLocalOptions), &app);
    g_signal_connect(application, "startup", G_CALLBACK(onStartup), &app);
    g_signal_connect(application, "open", G_CALLBACK(onOpen), &app);
    g_signal_connect(application, "activate", G_CALLBACK(onActivate), &app);
    g_signal_connect(application, "shutdown", G_CALLBACK(onShutdown), &app);
    const int status = g_application_run(application, argc, argv);
    g_object_unref(app.application);
    return status;
}
