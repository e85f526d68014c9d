#pragma once
// What tagris-cli prints and writes for a decoded register block: the text of
// read, its JSON object, the lines of watch and the rows of its CSV file. Pure.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"
#include "measure/register_block.h"

namespace tagris::cli {

// value with `decimals` digits after the point, "." always. trim drops trailing
// zeros (and a bare point), giving the shortest exact text of a decoded value:
// every decoding rule yields a fixed number of decimals (0.01 per count of the
// moisture, 15/256 MHz per count of the peak), so this is its full precision.
std::string Decimal(double value, int decimals, bool trim);

// Decimals each decoding rule carries.
inline constexpr int kMoistureDecimals = 2;
inline constexpr int kTemperatureDecimals = 1;
inline constexpr int kPeakFrequencyDecimals = 8;  // 0.46875 * 0.125 = 0.05859375 MHz per count
inline constexpr int kPeakWidthDecimals = 7;      // 0.46875 * 0.25 = 0.1171875 MHz per count
inline constexpr int kChannelValueDecimals = 1;   // grade and salinity: 0.1 per count

// "oil", "water", "air"; nothing for other codes.
std::optional<std::string_view> MediumName(int code);
// The unit's serial settings in the words of the command line.
std::string_view ParityWord(std::string_view windowText);  // "NOPARITY" -> "none"
int StopBitCount(std::string_view windowText);              // "STOP2" -> 2

// read: every value, one "name  value unit" per line.
std::string ReadText(const RegisterBlock& block);
// The members of read's JSON object, written into an open object.
void WriteBlockMembers(JsonWriter& json, const RegisterBlock& block);
// read --json: one object and a line end.
std::string ReadJson(const RegisterBlock& block);

enum class RowStatus { Ok, Lost, Resumed };
std::string_view RowStatusName(RowStatus status);

// watch: the time, the status and, for a reply, its main values; with a line end.
std::string WatchLine(std::string_view time, RowStatus status, const RegisterBlock* block);
// watch --json: read's object with "time" and "status" first (values only for a reply).
std::string WatchJsonLine(std::string_view time, RowStatus status, const RegisterBlock* block);

inline constexpr std::string_view kCsvHeader =
    "time,status,moisture,moisture_unlimited,temperature,mix_temperature,peak_frequency,peak_width,medium,"
    "channel\n";
// One CSV row with its line end; the values are empty for a lost row.
std::string CsvRow(std::string_view time, RowStatus status, const RegisterBlock* block);

// "2026-12-10T15:04:05+01:00" from a broken-down local time and its offset from UTC.
std::string IsoTime(const std::tm& local, long utcOffsetSeconds);
// The same for a moment, in the local time zone.
std::string IsoLocalTime(std::time_t moment);

}  // namespace tagris::cli
