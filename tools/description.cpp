#include "description.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "output_file.h"
#include "version.h"

namespace tarvik::tool {

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(when);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when - seconds).count();
  std::tm utc = fmt::gmtime(std::chrono::system_clock::to_time_t(seconds));
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", utc, millis);
}

nlohmann::ordered_json SidecarDocument(DataFormat format, const std::filesystem::path& dataFile,
                                       const AcquisitionHeader& header,
                                       const AcquisitionResult& result) {
  using Json = nlohmann::ordered_json;
  const WordSelection& selection = header.words;
  bool wide = selection.Wide();
  Json json;
  // u8string: the name's bytes as UTF-8 whatever the platform's narrow encoding.
  auto name = dataFile.filename().u8string();
  json["data_file"] = std::string(name.begin(), name.end());
  json["format"] = DataFormatName(format);
  json["sample_type"] = wide ? "uint64 little-endian" : "uint16 little-endian";
  json["shape"] = {result.frames, selection.words.size()};
  json["tool"] = {{"name", "tarvik"}, {"version", kToolVersion}};
  json["start_time_utc"] = result.startTimeUtc;
  json["mode"] = header.mode;
  json["clock"] = header.virtualClock ? "virtual" : "real-time";
  json["requested_rate"] = header.requestedRate;
  if (header.requestedFrameRate > 0) json["requested_frame_rate"] = header.requestedFrameRate;
  json["clock_rate"] = header.clockRate;
  json["clock_hz"] = header.clockHz;
  json["decimation"] = header.decimation;
  json["ticks_per_frame"] = header.ticksPerFrame;
  json["frame_rate"] = header.frameRate;
  json["achieved_frames_per_second"] = result.achievedRate;
  json["seconds"] = result.seconds;
  json["frames_per_block"] = header.framesPerBlock;
  json["block_count"] = header.blockCount;
  json["blocks"] = result.blocks;
  json["lost_blocks"] = result.lostBlocks;
  json["lost_frames"] = result.lostFrames;
  json["interrupted"] = !result.stopSignal.empty();
  if (!result.stopSignal.empty()) json["stop_signal"] = result.stopSignal;
  json["board"] = {{"serial_number", result.serialNumber ? Json(*result.serialNumber) : Json()},
                   {"identification", result.identification}};
  json["sources"] = header.sources;
  json["gain"] = header.gain;
  json["range_code"] = header.rangeCode;
  json["gaps"] = Json::array();
  for (const Gap& gap : result.gaps) {
    json["gaps"].push_back({{"frame", gap.frame}, {"lost_frames", gap.lostFrames}});
  }
  json["time_column"] = selection.timeColumn;
  Json names = Json::array();
  Json channels = Json::array();
  for (size_t column = 0; column < selection.words.size(); ++column) {
    unsigned word = selection.words[column];
    const ChannelInfo& info = kChannelLayout[word];
    names.push_back(info.name);
    Json channel = {{"column", column},         {"index", word},
                    {"name", info.name},        {"meaning", info.meaning},
                    {"kind", WordKindName(info.kind)}, {"bits", info.bits}};
    if (info.kind == WordKind::Counter) channel["unwrapped"] = true;
    if (const WordScale* scale = selection.ScaleOf(word)) {
      channel["scale"] = {{"factor", scale->factor}, {"offset", scale->offset}};
      channel["unit"] = scale->unit;
      channel["scaled_in_file"] = format == DataFormat::Csv;
    }
    channels.push_back(std::move(channel));
  }
  json["words"] = std::move(names);
  json["channels"] = std::move(channels);
  return json;
}

std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result) {
  // Replacement characters for bytes that are not UTF-8, so that any file name gives JSON.
  return SidecarDocument(format, dataFile, header, result)
             .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}

void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json) {
  std::filesystem::path path = dataFile;
  path += ".json";
  WriteWholeFile(path, json);
}

}  // namespace tarvik::tool
