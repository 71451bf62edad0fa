// DIF frame header parsing and the pack scans.
#include <cstring>
#include <initializer_list>

#include "common/bitstream.h"
#include "common/dif.h"

namespace {

using namespace tarsk::dif;

// The header block and the subcode and VAUX blocks of DIF sequence 0.
constexpr uint32_t header_area_size = 6 * block_size;

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

// Collects the packs of the frame's VAUX blocks (sequence 0) into the
// decoder's VAUX store.
void parse_vaux(dv_decoder_t *dv, const uint8_t *buffer) {
  PackStore store{dv->vaux_next, dv->vaux_pack, dv->vaux_data};
  store.clear();
  for (int n = 0; n < 3; ++n) {
    const uint8_t *block = buffer + block_offset(0, vaux_block(n));
    for (int k = 0; k < vaux_packs_per_block; ++k) store.add(block + vaux_pack_offset(k));
  }
}

// Collects the packs of the subcode blocks of sequences 0 and 6 into the
// decoder's subcode store. Sequence 6 lies in the second half of a frame of
// either system, where recorders write the subcode packs that describe the
// frame.
void parse_subcode(dv_decoder_t *dv, const uint8_t *buffer) {
  PackStore store{dv->ssyb_next, dv->ssyb_pack, dv->ssyb_data};
  store.clear();
  for (int seq : {0, subcode_pack_sequence})
    for (int n = 0; n < 2; ++n) {
      const uint8_t *block = buffer + block_offset(seq, subcode_block(n));
      for (int k = 0; k < subcode_packs_per_block; ++k) store.add(block + subcode_pack_offset(k));
    }
}

// System and standard chosen by the "video-system" option; automatic
// detection trusts DSF, or a VAUX source pack that declares 50 fields.
void decide_system(dv_decoder_t *dv, int8_t apt) {
  switch (dv->arg_video_system) {
    case 0:
      dv->system = dv->header.dsf == 1 || dv_system_50_fields(dv) == 1 ? e_dv_system_625_50
                                                                       : e_dv_system_525_60;
      dv->std = apt == application_iec_61834 ? e_dv_std_iec_61834 : e_dv_std_smpte_314m;
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
  dv->sampling = sampling_of(pal, dv->std != e_dv_std_iec_61834);
  dv->num_dif_seqs = sequences(pal);
  dv->height = pal ? 576 : 480;
  dv->frame_size = static_cast<uint32_t>(tarsk::dif::frame_size(pal));
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
  _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(buffer), header_area_size);

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

  parse_vaux(dv, buffer);

  const dv_system_t previous = dv->system;
  decide_system(dv, apt);
  int result = 0;
  if (dv->arg_video_system == 0 && dv->system != previous)
    result = dv->system == e_dv_system_625_50 ? 1 : 2;
  set_geometry(dv);

  dv_parse_audio_header(dv, buffer);
  return result;
}

void dv_parse_packs(dv_decoder_t *dv, const uint8_t *buffer) { parse_subcode(dv, buffer); }

}  // extern "C"
