#include "app/batch_start.h"

namespace vrelk {

ConvertOptions optionsFromSettings(const Settings& s)
{
    ConvertOptions options;
    options.outputType = s.outputType;
    options.quality = s.Quality;
    options.sampling = s.Sampling;
    options.limitSize = s.Limit;
    options.limitKilobytes = s.LmtVal;
    options.resize = s.Resize;
    options.resizeMode = s.RszOpt;
    options.resizeSize = s.RszSize;
    options.outputFolder = s.OutDir;
    options.makeSubFolder = s.MkDirAdd;
    options.subFolderName = s.MkDirStr;
    options.usePlugins = s.UseSpi;
    options.pluginFolder = s.SPI;
    options.keepAlpha = s.KeepAlpha;
    options.keepMetadata = static_cast<KeepMetadata>(s.KeepMeta);
    options.keepTime = s.KeepTime;
    return options;
}

std::size_t convertedCount(const BatchReport& report)
{
    std::size_t converted = 0;
    for (const FileReport& file : report.files)
        converted += file.converted() ? 1 : 0;
    return converted;
}

bool StartBatch(std::span<const platform::Path> inputs, BatchHost& host, BatchReport* report)
{
    if (host.applyControls)
        host.applyControls(host.settings);
    const ConvertOptions options = optionsFromSettings(host.settings);
    BatchReport result = host.run ? host.run(inputs, options) : RunBatch(inputs, options, host.fileDone);
    const bool started = result.outcome == BatchOutcome::done || result.outcome == BatchOutcome::nothingConverted;
    if (result.cancelled) {
        if (host.showCancelled)
            host.showCancelled(convertedCount(result));
    } else if (auto message = batchMessage(result.outcome); message && host.showError) {
        host.showError(*message);
    }
    if (report)
        *report = std::move(result);
    return started;
}

}  // namespace vrelk
