// DIF frame header parsing and the pack scans.
#include "parse/parse.h"

#include <cstring>
#include <initializer_list>

#include "parse/bitstream.h"

namespace tarsk {
namespace {

// The header block and the subcode and VAUX blocks of DIF sequence 0.
constexpr uint32_t header_area_size = 6 * dif_block_size;

constexpr uint8_t no_pack = 0xff;

// A pack store: the count, the slot of each pack ID and the data slots.
struct PackStore {
  uint8_t &next;
  uint8_t (&pack)[256];
  uint8_t (&data)[DV_PACK_SLOTS][4];

  void clear() {
    next = 0;
    std::memset(pack, no_pack, sizeof pack);
  }

  // Stores one five-byte pack; empty slots (ID 0xff) and packs beyond the
  // store's capacity are dropped.
  void add(const uint8_t *pack_bytes) {
    const uint8_t id = pack_bytes[0];
    if (id == no_pack || next >= DV_PACK_SLOTS) return;
    pack[id] = next;
    std::memcpy(data[next], pack_bytes + 1, 4);
    ++next;
  }
};

// Subcode blocks carry six packs, one per sync block of 8 bytes whose pack
// begins at byte 3 of the sync block.
void scan_subcode_block(PackStore &store, const uint8_t *block) {
  for (int k = 0; k < 6; ++k) store.add(block + 6 + 8 * k);
}

// VAUX blocks carry fifteen packs of five bytes from byte 3 on.
void scan_vaux_block(PackStore &store, const uint8_t *block) {
  for (int k = 0; k < 15; ++k) store.add(block + 3 + 5 * k);
}

}  // namespace

void dv_parse_vaux(dv_decoder_t *dv, const uint8_t *buffer) {
  PackStore store{dv->vaux_next, dv->vaux_pack, dv->vaux_data};
  store.clear();
  for (int block = 3; block <= 5; ++block)
    scan_vaux_block(store, buffer + block * dif_block_size);
}

void dv_parse_ssyb(dv_decoder_t *dv, const uint8_t *buffer) {
  PackStore store{dv->ssyb_next, dv->ssyb_pack, dv->ssyb_data};
  store.clear();
  // Sequence 6 lies in the second half of a frame of either system, where
  // recorders write the subcode packs that describe the frame.
  for (int seq : {0, 6})
    for (int block = 1; block <= 2; ++block)
      scan_subcode_block(store, buffer + seq * dif_sequence_size + block * dif_block_size);
}

}  // namespace tarsk

namespace {

// System and standard chosen by the "video-system" option; automatic
// detection trusts DSF, or a VAUX source pack that declares 50 fields.
void decide_system(dv_decoder_t *dv, int8_t apt) {
  switch (dv->arg_video_system) {
    case 0:
      dv->system = dv->header.dsf == 1 || dv_system_50_fields(dv) == 1 ? e_dv_system_625_50
                                                                       : e_dv_system_525_60;
      dv->std = apt == 0 ? e_dv_std_iec_61834 : e_dv_std_smpte_314m;
      break;
    case 1:
      dv->system = e_dv_system_525_60;
      dv->std = e_dv_std_smpte_314m;
      break;
    case 2:
      dv->system = e_dv_system_625_50;
      dv->std = e_dv_std_iec_61834;
      break;
    case 3:
      dv->system = e_dv_system_625_50;
      dv->std = e_dv_std_smpte_314m;
      break;
    default:
      break;
  }
}

void set_geometry(dv_decoder_t *dv) {
  const bool pal = dv->system == e_dv_system_625_50;
  dv->width = 720;
  dv->sampling = pal && dv->std == e_dv_std_iec_61834 ? e_dv_sample_420 : e_dv_sample_411;
  dv->num_dif_seqs = pal ? 12 : 10;
  dv->height = pal ? 576 : 480;
  dv->frame_size = pal ? frame_size_625_50 : frame_size_525_60;
}

}  // namespace

extern "C" {

int dv_parse_id(bitstream_t *bs, dv_id_t *id) {
  id->sct = static_cast<int8_t>(bitstream_get(bs, 3));
  bitstream_skip(bs, 5);
  id->dsn = static_cast<int8_t>(bitstream_get(bs, 4));
  id->fsc = static_cast<int>(bitstream_get(bs, 1));
  bitstream_skip(bs, 3);
  id->dbn = static_cast<int8_t>(bitstream_get(bs, 8));
  return 0;
}

int dv_parse_header(dv_decoder_t *dv, const uint8_t *buffer) {
  bitstream_t bs{};
  _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(buffer), tarsk::header_area_size);

  dv_id_t id;
  dv_parse_id(&bs, &id);
  if (id.sct != 0) return -1;

  dv->header.dsf = static_cast<int>(bitstream_get(&bs, 1));
  if (bitstream_get(&bs, 1) != 0) return -1;

  bitstream_skip(&bs, 11);
  const auto apt = static_cast<int8_t>(bitstream_get(&bs, 3));
  int tf[3];
  int8_t ap[3];
  for (int n = 0; n < 3; ++n) {
    tf[n] = static_cast<int>(bitstream_get(&bs, 1));
    bitstream_skip(&bs, 4);
    ap[n] = static_cast<int8_t>(bitstream_get(&bs, 3));
  }
  dv->header.apt = apt;
  dv->header.tf1 = tf[0];
  dv->header.ap1 = ap[0];
  dv->header.tf2 = tf[1];
  dv->header.ap2 = ap[1];
  dv->header.tf3 = tf[2];
  dv->header.ap3 = ap[2];

  tarsk::dv_parse_vaux(dv, buffer);

  const dv_system_t previous = dv->system;
  decide_system(dv, apt);
  int result = 0;
  if (dv->arg_video_system == 0 && dv->system != previous)
    result = dv->system == e_dv_system_625_50 ? 1 : 2;
  set_geometry(dv);

  dv_parse_audio_header(dv, buffer);
  return result;
}

void dv_parse_packs(dv_decoder_t *dv, const uint8_t *buffer) { tarsk::dv_parse_ssyb(dv, buffer); }

}  // extern "C"
