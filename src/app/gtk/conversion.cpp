// The batches of a run, one after another on a worker thread while the
// window thread keeps the windows answering. A run still going after half
// a second shows how far it got, and its cancel button stops it as the
// Windows program's does: the files begun are finished, no other starts.
#include <algorithm>

#include "app/batch_start.h"
#include "app/cli_posix.h"
#include "app/gtk/desktop_app.h"

namespace vrelk::desktop {
namespace {

constexpr guint kShowAfterMs = 500;
constexpr guint kPollMs = 100;

void drawProgress(Conversion& run)
{
    if (!run.window)
        return;
    const std::size_t current = run.current ? run.current->done.load() : 0;
    const std::size_t done = std::min(run.doneBefore + current, run.files);
    const std::string count = std::to_string(done) + " / " + std::to_string(run.files);
    gtk_label_set_text(GTK_LABEL(run.count), count.c_str());
    if (run.current && !run.current->inputs.empty()) {
        const auto& inputs = run.current->inputs;
        const std::string name = platform::toUtf8(inputs[std::min(current, inputs.size() - 1)].filename().native());
        gtk_label_set_text(GTK_LABEL(run.name), name.c_str());
    }
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(run.bar), run.files ? double(done) / double(run.files) : 0.0);
}

void askToStop(Conversion& run)
{
    run.stop = true;
    if (!run.window)
        return;
    gtk_widget_set_sensitive(run.cancel, FALSE);
    gtk_label_set_text(GTK_LABEL(run.title), std::string(uiText(UiText::stopping)).c_str());
}

GtkWidget* label(const char* text, float align)
{
    GtkWidget* widget = gtk_label_new(text);
    gtk_label_set_xalign(GTK_LABEL(widget), align);
    return widget;
}

void createProgressWindow(DesktopApp& app, Conversion& run)
{
    run.window = gtk_application_window_new(app.application);
    const std::string title = std::string(kWindowTitle) + " – " + std::string(uiText(UiText::converting));
    gtk_window_set_title(GTK_WINDOW(run.window), title.c_str());
    gtk_window_set_resizable(GTK_WINDOW(run.window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(run.window), 320, -1);
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 8);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
    for (auto margin : {gtk_widget_set_margin_top, gtk_widget_set_margin_bottom, gtk_widget_set_margin_start,
                        gtk_widget_set_margin_end})
        margin(grid, 12);
    run.title = label(std::string(uiText(UiText::converting)).c_str(), 0);
    gtk_widget_set_hexpand(run.title, TRUE);
    run.count = label("", 1);
    run.name = label("", 0);
    gtk_label_set_ellipsize(GTK_LABEL(run.name), PANGO_ELLIPSIZE_MIDDLE);
    gtk_label_set_width_chars(GTK_LABEL(run.name), 36);
    run.bar = gtk_progress_bar_new();
    run.cancel = gtk_button_new_with_label(std::string(uiText(UiText::cancel)).c_str());
    gtk_widget_set_halign(run.cancel, GTK_ALIGN_CENTER);
    g_signal_connect_swapped(run.cancel, "clicked", G_CALLBACK(+[](gpointer data) {
                                 askToStop(*static_cast<Conversion*>(data));
                             }),
                             &run);
    gtk_grid_attach(GTK_GRID(grid), run.title, 0, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), run.count, 1, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), run.name, 0, 1, 2, 1);
    gtk_grid_attach(GTK_GRID(grid), run.bar, 0, 2, 2, 1);
    gtk_grid_attach(GTK_GRID(grid), run.cancel, 0, 3, 2, 1);
    gtk_window_set_child(GTK_WINDOW(run.window), grid);
    // Closing the window asks to stop; it goes when the batch has ended.
    g_signal_connect_swapped(run.window, "close-request", G_CALLBACK(+[](gpointer data) -> gboolean {
                                 askToStop(*static_cast<Conversion*>(data));
                                 return TRUE;
                             }),
                             &run);
    gtk_window_set_default_widget(GTK_WINDOW(run.window), run.cancel);
    gtk_widget_grab_focus(run.cancel);
    drawProgress(run);
    gtk_window_present(GTK_WINDOW(run.window));
}

unsigned batchWorkers() { return BatchWorkerCount(platform::processorCount()); }

void startBatch(Conversion& run, QueuedBatch batch, const Settings& settings)
{
    auto next = std::make_unique<BatchRun>();
    next->inputs = std::move(batch.files);
    next->settings = settings;
    next->settings.outputType = batch.outputType;
    BatchRun& started = *next;
    run.current = std::move(next);
    const StopFlag* stop = &run.stop;
    started.work = std::make_unique<platform::BackgroundWork>([&started, stop] {
        BatchHost host{started.settings, applyControlBounds,
                       [&started](ErrorCode code) { started.message = code; }};
        host.run = [&started, stop](std::span<const Path> inputs, const ConvertOptions& options) {
            const FileDone moved = [&started](const FileReport&, std::size_t index, std::size_t) {
                started.done = index + 1;
            };
            return RunBatchInParallel(inputs, options, batchWorkers(), moved, stop);
        };
        StartBatch(started.inputs, host, &started.report);
        started.finished = true;
    });
}

void addToTotals(RunTotals& totals, const BatchRun& batch)
{
    for (const FileReport& file : batch.report.files) {
        if (file.converted()) {
            ++totals.converted;
            if (totals.outputFolder.empty())
                totals.outputFolder = file.output.parent_path();
        } else if (file.failure) {
            totals.skipped.emplace_back(platform::toUtf8(file.input.filename().native()),
                                        SkipReasonText(*file.failure));
        }
    }
    totals.cancelled = totals.cancelled || batch.report.cancelled;
    if (batch.message && !totals.message)
        totals.message = batch.message;
}

void finishCurrent(Conversion& run)
{
    run.current->work->join();
    addToTotals(run.totals, *run.current);
    run.doneBefore += run.current->inputs.size();
    run.current.reset();
}

// Files queued behind a stopped batch are not converted either.
void dropQueued(Conversion& run)
{
    for (const QueuedBatch& batch : run.queue)
        run.totals.cancelled = run.totals.cancelled || !batch.files.empty();
    run.queue.clear();
}

void endRun(DesktopApp& app)
{
    std::unique_ptr<Conversion> run = std::move(app.conversion);
    if (run->showTimer)
        g_source_remove(run->showTimer);
    if (run->window)
        gtk_window_destroy(GTK_WINDOW(run->window));
    SendNotice(app, run->totals);
    g_application_release(G_APPLICATION(app.application));
}

gboolean pollRun(gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    Conversion& run = *app.conversion;
    if (!run.current->finished) {
        drawProgress(run);
        return G_SOURCE_CONTINUE;
    }
    finishCurrent(run);
    if (run.stop)
        dropQueued(run);
    if (!run.queue.empty()) {
        QueuedBatch next = std::move(run.queue.front());
        run.queue.pop_front();
        startBatch(run, std::move(next), app.settings);
        drawProgress(run);
        return G_SOURCE_CONTINUE;
    }
    run.pollTimer = 0;
    endRun(app);
    return G_SOURCE_REMOVE;
}

gboolean showIfStillRunning(gpointer data)
{
    auto& app = *static_cast<DesktopApp*>(data);
    app.conversion->showTimer = 0;
    createProgressWindow(app, *app.conversion);
    return G_SOURCE_REMOVE;
}

}  // namespace

void QueueBatch(DesktopApp& app, std::vector<Path> files, std::int32_t outputType)
{
    if (files.empty())
        return;
    if (app.conversion) {
        app.conversion->files += files.size();
        app.conversion->queue.push_back({std::move(files), outputType});
        drawProgress(*app.conversion);
        return;
    }
    g_application_hold(G_APPLICATION(app.application));
    app.conversion = std::make_unique<Conversion>();
    Conversion& run = *app.conversion;
    run.files = files.size();
    startBatch(run, {std::move(files), outputType}, app.settings);
    run.pollTimer = g_timeout_add(kPollMs, pollRun, &app);
    run.showTimer = g_timeout_add(kShowAfterMs, showIfStillRunning, &app);
}

}  // namespace vrelk::desktop
