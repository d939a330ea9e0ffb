#include "http/date.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace velmora::http {
namespace {

[[noreturn]] void die(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

struct DateCache {
  char value[kImfFixdateLength];
  int64_t refresh_sec = 0;  // the whole second after the one `value` was rendered for
  bool ready = false;
};

thread_local DateCache t_cache;

}  // namespace

void render_imf_fixdate(int64_t secs, char out[kImfFixdateLength]) {
  static const char kDays[] = "ThuFriSatSunMonTueWed";  // 1970-01-01 was a Thursday
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (secs < 0) die("all times should be after the epoch");
  if (secs >= 253402300800) die("date must be before year 9999");

  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  const int wday = static_cast<int>(days % 7);
  // Civil date from a day count (proleptic Gregorian), counting eras of 400 years from
  // 0000-03-01 so that the leap day falls at the end of each year.
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
  const int hh = static_cast<int>(rem / 3600), mm = static_cast<int>(rem / 60 % 60),
            ss = static_cast<int>(rem % 60);

  auto two = [](char* p, int v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
  };
  char* p = out;
  p[0] = kDays[wday * 3];
  p[1] = kDays[wday * 3 + 1];
  p[2] = kDays[wday * 3 + 2];
  p[3] = ',';
  p[4] = ' ';
  two(p + 5, day);
  p[7] = ' ';
  p[8] = kMonths[(month - 1) * 3];
  p[9] = kMonths[(month - 1) * 3 + 1];
  p[10] = kMonths[(month - 1) * 3 + 2];
  p[11] = ' ';
  two(p + 12, year / 100);
  two(p + 14, year % 100);
  p[16] = ' ';
  two(p + 17, hh);
  p[19] = ':';
  two(p + 20, mm);
  p[22] = ':';
  two(p + 23, ss);
  p[25] = ' ';
  p[26] = 'G';
  p[27] = 'M';
  p[28] = 'T';
}

std::string_view cached_http_date() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  DateCache& c = t_cache;
  // Strictly later than the refresh time: exactly on it still belongs to the cached second.
  if (!c.ready || now.tv_sec > c.refresh_sec || (now.tv_sec == c.refresh_sec && now.tv_nsec > 0)) {
    render_imf_fixdate(now.tv_sec, c.value);
    c.refresh_sec = static_cast<int64_t>(now.tv_sec) + 1;
    c.ready = true;
  }
  return {c.value, kImfFixdateLength};
}

}  // namespace velmora::http
