// Frame metadata queries: answers from the packs that header parsing (VAUX)
// and dv_parse_packs (subcode) stored in the decoder.
#include "decode/metadata.h"

#include <cstdio>
#include <cstring>

#include "common/bcd.h"
#include "common/dif.h"

namespace {

namespace dif = tarsk::dif;
using namespace dif::pack_id;
using tarsk::from_bcd;
constexpr uint8_t absent = tarsk::dif::no_pack;
constexpr uint8_t subcode_timecode = timecode;

// Data bytes PC1..PC4 of a stored pack (index 0 is PC1), or null.
const uint8_t *vaux_pack(const dv_decoder_t *dv, uint8_t id) {
  const uint8_t slot = dv->vaux_pack[id];
  return slot == absent ? nullptr : dv->vaux_data[slot];
}

const uint8_t *subcode_pack(const dv_decoder_t *dv, uint8_t id) {
  const uint8_t slot = dv->ssyb_pack[id];
  return slot == absent ? nullptr : dv->ssyb_data[slot];
}

// Bit `bit` of PC`pc` of a VAUX pack, or -1 when the pack is absent.
int vaux_flag(const dv_decoder_t *dv, uint8_t id, int pc, int bit) {
  const uint8_t *pack = vaux_pack(dv, id);
  return pack ? (pack[pc - 1] >> bit) & 1 : -1;
}

// Hours, minutes, seconds of a time code or recording time pack.
struct Clock {
  int hours, minutes, seconds;
};

Clock clock_of(const uint8_t *pack) {
  return {from_bcd(pack[3], 0x30), from_bcd(pack[2], 0x70), from_bcd(pack[1], 0x70)};
}

}  // namespace

namespace tarsk {

bool recording_datetime(const dv_decoder_t *dv, DateTime &dt) {
  const uint8_t *date = subcode_pack(dv, recording_date);
  const uint8_t *time = subcode_pack(dv, recording_time);
  if (date == nullptr || time == nullptr) return false;
  // Two-digit years as POSIX reads them (strptime's %y): 00..68 are this
  // century, 69..99 the last one. Recordings of today keep their century,
  // and so do the 1970 dates of encoders that write the epoch by default.
  const int yy = from_bcd(date[3], 0xf0);
  dt.year = yy <= 68 ? 2000 + yy : 1900 + yy;
  dt.month = ((date[2] & 0x10) ? 10 : 0) + (date[2] & 0x0f);
  dt.day = from_bcd(date[1], 0x30);
  const Clock c = clock_of(time);
  dt.hours = c.hours;
  dt.minutes = c.minutes;
  dt.seconds = c.seconds;
  return true;
}

bool absolute_track(const uint8_t *frame, int sequences, int32_t &track) {
  bool found = false;
  for (int s = 0; s < sequences; ++s) {
    int bytes[3] = {-1, -1, -1};
    bool agree = true;
    for (int b = 0; b < 2; ++b) {
      const uint8_t *block = frame + dif::block_offset(s, dif::subcode_block(b));
      for (int n = 0; n < dif::subcode_packs_per_block; ++n) {
        const uint8_t *id = block + dif::subcode_sync_offset(n);
        const int number = dif::subcode_sync_number(id);
        if (number >= dif::subcode_syncs_per_track) continue;
        int &byte = bytes[dif::subcode_track_byte_index(number)];
        const int value = dif::subcode_track_byte(id);
        agree = agree && (byte < 0 || byte == value);
        byte = value;
      }
    }
    if (!agree || bytes[0] < 0 || bytes[1] < 0 || bytes[2] < 0) continue;
    const int32_t number = ((bytes[2] << 16) | (bytes[1] << 8) | bytes[0]) >>
                           dif::absolute_track_shift;
    const int32_t first = number - s;
    if (found && first != track) return false;
    track = first;
    found = true;
  }
  return found;
}

bool interlaced_pictures(const uint8_t *frame, int sequences) {
  for (int s = 0; s < sequences; ++s)
    for (int b = 0; b < 3; ++b) {
      const uint8_t *block = frame + dif::block_offset(s, dif::vaux_block(b));
      for (int n = 0; n < dif::vaux_packs_per_block; ++n) {
        const uint8_t *pack = block + dif::vaux_pack_offset(n);
        if (pack[0] == vaux_source_control)
          return (pack[dif::vaux_source_control_pc3] & dif::vaux_interlace_flag) != 0;
      }
    }
  return true;
}

RecordingMarks recording_marks(const uint8_t *frame) {
  const uint8_t *pack = frame + dif::aaux_asc_offset;
  if (pack[0] != aaux_source_control) return {-1, -1};
  // REC ST and REC END are set by clearing them: 0 marks the point.
  return {(pack[2] & 0x80) == 0, (pack[2] & 0x40) == 0};
}

bool timecode(const dv_decoder_t *dv, Timecode &t) {
  const uint8_t *pack = subcode_pack(dv, subcode_timecode);
  if (pack == nullptr) return false;
  const Clock c = clock_of(pack);
  t.hours = c.hours;
  t.minutes = c.minutes;
  t.seconds = c.seconds;
  t.frames = from_bcd(pack[0], 0x30);
  // The drop-frame flag has its meaning in 525/60 only.
  t.drop_frame = dv->system == e_dv_system_525_60 && (pack[0] & dif::timecode_drop_frame_flag) != 0;
  return true;
}

}  // namespace tarsk

using tarsk::DateTime;
using tarsk::recording_datetime;

extern "C" {

int dv_get_vaux_pack(dv_decoder_t *dv, uint8_t pack_id, uint8_t *data) {
  const uint8_t *pack = vaux_pack(dv, pack_id);
  if (pack == nullptr) return -1;
  std::memcpy(data, pack, 4);
  return 0;
}

int dv_frame_is_color(dv_decoder_t *dv) { return vaux_flag(dv, vaux_source, 2, 7); }

int dv_system_50_fields(dv_decoder_t *dv) { return vaux_flag(dv, vaux_source, 3, 5); }

int dv_format_normal(dv_decoder_t *dv) {
  const uint8_t *pack = vaux_pack(dv, vaux_source_control);
  return pack ? (pack[1] & 0x07) == 0 : -1;
}

int dv_format_wide(dv_decoder_t *dv) {
  const uint8_t *pack = vaux_pack(dv, vaux_source_control);
  return pack ? (pack[1] & 0x07) != 0 : -1;
}

int dv_frame_changed(dv_decoder_t *dv) { return vaux_flag(dv, vaux_source_control, 3, 5); }

int dv_get_timestamp_int(dv_decoder_t *dv, int *timestamp) {
  tarsk::Timecode t;
  if (!tarsk::timecode(dv, t)) return 0;
  timestamp[0] = t.hours;
  timestamp[1] = t.minutes;
  timestamp[2] = t.seconds;
  timestamp[3] = t.frames;
  return 1;
}

int dv_get_timestamp(dv_decoder_t *dv, char *tstptr) {
  int t[4];
  if (!dv_get_timestamp_int(dv, t)) {
    std::strcpy(tstptr, "00:00:00.00");
    return 0;
  }
  // Every field is at most two digits wide: 11 characters and the zero.
  std::snprintf(tstptr, 12, "%02d:%02d:%02d.%02d", t[0], t[1], t[2], t[3]);
  return 1;
}

int dv_get_recording_datetime(dv_decoder_t *dv, char *dtptr) {
  DateTime dt;
  if (!recording_datetime(dv, dt)) {
    std::strcpy(dtptr, "0000-00-00 00:00:00");
    return 0;
  }
  std::snprintf(dtptr, 20, "%04d-%02d-%02d %02d:%02d:%02d", dt.year, dt.month, dt.day,
                dt.hours, dt.minutes, dt.seconds);
  return 1;
}

int dv_get_recording_datetime_tm(dv_decoder_t *dv, struct tm *rec_dt) {
  DateTime dt;
  if (!recording_datetime(dv, dt)) return 0;
  rec_dt->tm_year = dt.year - 1900;
  rec_dt->tm_mon = dt.month - 1;
  rec_dt->tm_mday = dt.day;
  rec_dt->tm_hour = dt.hours;
  rec_dt->tm_min = dt.minutes;
  rec_dt->tm_sec = dt.seconds;
  rec_dt->tm_wday = -1;
  rec_dt->tm_yday = -1;
  rec_dt->tm_isdst = -1;  // let mktime decide daylight saving time
  return mktime(rec_dt) != static_cast<time_t>(-1) ? 1 : 0;
}

}  // extern "C"
