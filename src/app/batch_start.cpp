#include "app/batch_start.h"

#include "convert/format_table.h"

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

namespace {

bool targetInUse(const Settings& s)
{
    return s.Limit && (OutputFormatOf(s.outputType).keeps & kMeetsSizeTarget) != 0;
}

bool reductionInUse(const Settings& s) { return s.Resize; }

struct SizeSetting {
    const NumberKey& key;
    std::int32_t Settings::*field;
    bool (*inUse)(const Settings&);
    bool boundedAbove;
};

// A reduction size beyond any picture leaves every picture as it is.
constexpr SizeSetting kSizeSettings[] = {
    {keys::kLmtVal, &Settings::LmtVal, targetInUse, true},
    {keys::kRszSize, &Settings::RszSize, reductionInUse, false},
};

}  // namespace

std::optional<BadSetting> badSizeSetting(const Settings& settings)
{
    for (const SizeSetting& size : kSizeSettings) {
        const std::int32_t value = settings.*size.field;
        if (size.inUse(settings) && (value < size.key.low || (size.boundedAbove && value > size.key.high)))
            return BadSetting{&size.key, value, size.boundedAbove};
    }
    return std::nullopt;
}

std::string badSettingMessage(const BadSetting& bad)
{
    const std::optional<std::int32_t> high = bad.boundedAbove ? std::optional(bad.key->high) : std::nullopt;
    return badSettingText(bad.key->name, bad.value, bad.key->low, high);
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
    if (auto bad = badSizeSetting(host.settings)) {
        if (host.showBadSetting)
            host.showBadSetting(*bad);
        return false;
    }
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
