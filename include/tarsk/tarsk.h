/* tarsk — the library's own C API.
 *
 * Opaque contexts made from settings structs that have a defaults function;
 * every call returns an error code (0 or a negative TARSK_E_*), with
 * tarsk_error_string to say it; every buffer comes with its length; all
 * state lives in the contexts, so any number of them may be used on any
 * threads at once; messages go to the log callback of the settings.
 *
 * Threads: a context is used by one thread at a time, and may pass from
 * thread to thread between calls when the hand-off orders them (a mutex,
 * a queue, a thread joined): a decoder's pictures are then the same as on
 * one thread. Contexts with `threads` above 1 run threads of their own
 * inside their calls. A tarsk_decode_service is the one object that many
 * threads call at once. Pictures are the caller's planes or packed
 * pictures, with strides of the caller's choosing (see tarsk_picture).
 *
 * A session in brief:
 *
 *   tarsk_reader *reader;  tarsk_decoder *decoder;
 *   tarsk_decoder_settings s;  tarsk_decoder_default_settings(&s);
 *   tarsk_reader_open(&reader);  tarsk_decoder_open(&decoder, &s);
 *   ... tarsk_reader_push(reader, bytes, n) as bytes arrive, tarsk_reader_finish at the end ...
 *   tarsk_frame frame;
 *   while (tarsk_reader_next(reader, &frame) == TARSK_OK) {
 *     tarsk_picture picture = {0};
 *     tarsk_decode_video(decoder, frame.data, frame.size, &picture, NULL);
 *     ... picture.data[0..2], picture.stride[0..2] at the stream's own sampling ...
 *     tarsk_picture_free(&picture);
 *   }
 *   tarsk_decoder_close(&decoder);  tarsk_reader_close(&reader);
 *
 * The specified API of <tarsk/dv.h> is a separate face of the same library;
 * the two may be used side by side. */
#ifndef TARSK_TARSK_H
#define TARSK_TARSK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------ */

#define TARSK_VERSION_MAJOR 1
#define TARSK_VERSION_MINOR 0
#define TARSK_VERSION_PATCH 0
#define TARSK_VERSION_NUMBER(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define TARSK_VERSION \
  TARSK_VERSION_NUMBER(TARSK_VERSION_MAJOR, TARSK_VERSION_MINOR, TARSK_VERSION_PATCH)

/* The version of the library linked at run time, as TARSK_VERSION_NUMBER
 * makes it, and as text ("1.0.0"). */
unsigned tarsk_version(void);
const char *tarsk_version_string(void);

/* ---- Errors ------------------------------------------------------------- */

typedef enum tarsk_error {
  TARSK_OK = 0,
  TARSK_E_IO = -1,             /* a file or stream could not be read or written */
  TARSK_E_NOT_DV = -2,         /* the bytes are not DV */
  TARSK_E_TRUNCATED = -3,      /* the bytes end inside a frame */
  TARSK_E_BAD_FRAME = -4,      /* a frame's header blocks are damaged or contradict its length */
  TARSK_E_SYSTEM_CHANGED = -5, /* 525/60 and 625/50 frames where one system is needed */
  TARSK_E_BAD_BUFFER = -6,     /* a caller's buffer is too small or misshapen */
  TARSK_E_NO_AUDIO = -7,       /* the frame's sound cannot be decoded */
  TARSK_E_BAD_PICTURE = -8,    /* a picture's size or sampling is not one the call takes */
  TARSK_E_BAD_AUDIO = -9,      /* sound the encoder cannot put into a frame */
  TARSK_E_BAD_SETTINGS = -10,  /* settings out of range or that do not go together */
  TARSK_E_NO_MEMORY = -11,     /* memory could not be had */
  TARSK_E_BAD_CALL = -12,      /* a null argument, or a call out of order */
  TARSK_E_AGAIN = -13,         /* nothing yet: more input is needed first */
  TARSK_E_END = -14            /* nothing more: the stream has ended */
} tarsk_error;

/* What an error code means, in a few words ("not DV"); never null. */
const char *tarsk_error_string(int error);

/* ---- Messages ----------------------------------------------------------- */

typedef enum tarsk_log_level {
  TARSK_LOG_ERROR = 0,
  TARSK_LOG_WARNING = 1,
  TARSK_LOG_INFO = 2,
  TARSK_LOG_DEBUG = 3
} tarsk_log_level;

/* Receives a context's messages, one line each with its newline. Called on
 * the thread that called into the context (or one of its worker threads,
 * one call at a time). */
typedef void (*tarsk_log_callback)(void *user, int level, const char *message);

/* ---- Frames and pictures ------------------------------------------------ */

typedef enum tarsk_system {
  TARSK_SYSTEM_525_60 = 0, /* 720x480, 120000-byte frames, 30000/1001 frames a second */
  TARSK_SYSTEM_625_50 = 1  /* 720x576, 144000-byte frames, 25 frames a second */
} tarsk_system;

typedef enum tarsk_sampling {
  TARSK_SAMPLING_411 = 0, /* 525/60, and 625/50 of SMPTE 314M */
  TARSK_SAMPLING_420 = 1, /* 625/50 of IEC 61834 */
  TARSK_SAMPLING_422 = 2  /* not carried by DV25; pictures may be given and asked for in it */
} tarsk_sampling;

/* Bytes of a frame of a system. */
#define TARSK_FRAME_BYTES_525_60 120000
#define TARSK_FRAME_BYTES_625_50 144000

/* Picture layouts. Planar ones hold Y, Cb, Cr in data[0..2]; packed ones
 * everything in data[0]. */
typedef enum tarsk_pixel_format {
  TARSK_PIXEL_NATIVE = 0, /* for decoding: the stream's own, I420 or Y41B */
  TARSK_PIXEL_I420 = 1,   /* planar 4:2:0, chroma 360 wide and half as high */
  TARSK_PIXEL_Y41B = 2,   /* planar 4:1:1, chroma 180 wide and as high */
  TARSK_PIXEL_I422 = 3,   /* planar 4:2:2, chroma 360 wide and as high */
  TARSK_PIXEL_YUY2 = 4,   /* packed 4:2:2: Y Cb Y Cr */
  TARSK_PIXEL_RGB24 = 5,  /* packed R G B, 3 bytes a pixel */
  TARSK_PIXEL_BGR0 = 6    /* packed B G R 0, 4 bytes a pixel */
} tarsk_pixel_format;

/* Fields and arguments that take a value of one of the enums above are
 * ints, so that any value a caller passes is checked, not assumed. */

/* A picture: its layout, size and planes, each line stride[p] bytes after
 * the one before. Fill in the planes yourself (the library writes into or
 * reads from them, never frees them), or let tarsk_picture_alloc make them;
 * tarsk_picture_free frees only what it made. A stride is any number of
 * bytes from the plane's line upwards (padding between lines is left as
 * it is); a smaller or negative stride (a picture stored bottom up) is
 * refused with TARSK_E_BAD_BUFFER. */
typedef struct tarsk_picture {
  int format; /* a tarsk_pixel_format */
  int width, height;
  uint8_t *data[3];
  ptrdiff_t stride[3];
  void *allocation; /* the library's, when it made the planes */
} tarsk_picture;

/* Gives `picture` planes of its own for a layout and size (width a multiple
 * of 4, height of 2). TARSK_PIXEL_NATIVE is not a layout: resolve it first
 * with tarsk_native_format. */
int tarsk_picture_alloc(tarsk_picture *picture, int format, int width, int height);
/* Frees planes that tarsk_picture_alloc made and clears the record. */
void tarsk_picture_free(tarsk_picture *picture);
/* The planar layout of a sampling. */
tarsk_pixel_format tarsk_native_format(int sampling);

/* A time code: hours, minutes, seconds and frames, and whether the frame
 * numbers drop (525/60 only: frames 0 and 1 of every minute but every
 * tenth are not counted). */
typedef struct tarsk_timecode {
  int hours, minutes, seconds, frames;
  int drop_frame;
} tarsk_timecode;

/* A recording date and time as the camera's clock gave it (no time zone). */
typedef struct tarsk_datetime {
  int year, month, day, hour, minute, second;
} tarsk_datetime;

/* What a frame says about itself. */
typedef struct tarsk_frame_info {
  tarsk_system system;
  tarsk_sampling sampling;
  int smpte_314m; /* the header's APT says SMPTE 314M (DV25) rather than IEC 61834 */
  int width, height;
  int wide; /* 16:9 by the VAUX source control pack */
  int has_timecode;
  tarsk_timecode timecode;
  int has_recording_date;
  tarsk_datetime recording_date;
  /* Sound, from the AAUX source pack; audio_rate 0 when the frame has none. */
  int audio_rate;        /* 48000, 44100 or 32000 */
  int audio_bits;        /* 16, or 12 (non-linear) */
  int audio_channels;    /* 2, or 4 with 12-bit sound */
  int audio_samples;     /* sample frames this frame carries */
  int audio_locked;      /* locked to the video clock */
  int flagged_video;     /* video DIF blocks whose status nibble reports an error */
  int progressive;       /* the VAUX source control pack clears its interlace flag */
} tarsk_frame_info;

/* ---- Reading raw DV ----------------------------------------------------- */

/* A frame from the reader: exactly one frame of its system, and what the
 * reader had to do to make it. DIF blocks missing from the stream are filled
 * in so that the frame reads as damaged there and nowhere else. `data` stays
 * valid until the next call on the reader. */
typedef struct tarsk_frame {
  const uint8_t *data;
  size_t size;
  tarsk_system system;
  uint64_t index;          /* frames handed out before it */
  uint64_t offset;         /* stream position of the first of its blocks found */
  uint64_t skipped_bytes;  /* bytes passed over to find sync, before and inside it */
  int missing_blocks;      /* DIF blocks not found in the stream */
  int missing_video;       /* of them video blocks */
  int cut_short;           /* the stream ends inside this frame */
} tarsk_frame;

typedef struct tarsk_reader tarsk_reader;

int tarsk_reader_open(tarsk_reader **reader);
void tarsk_reader_close(tarsk_reader **reader);
/* Takes the next bytes of the stream, in pieces of any size. */
int tarsk_reader_push(tarsk_reader *reader, const uint8_t *bytes, size_t size);
/* No more bytes: what is left makes the last frame. */
int tarsk_reader_finish(tarsk_reader *reader);
/* The next whole frame: TARSK_OK with `frame` filled; TARSK_E_AGAIN when
 * more bytes are needed; TARSK_E_END after the last frame of a finished
 * stream; TARSK_E_NOT_DV when no DV block was found in the first 16 MB (or
 * in a whole shorter stream). */
int tarsk_reader_next(tarsk_reader *reader, tarsk_frame *frame);
/* Bytes pushed (over a source: the stream position read up to), and of
 * them those that went into no frame. */
uint64_t tarsk_reader_bytes_in(const tarsk_reader *reader);
uint64_t tarsk_reader_bytes_skipped(const tarsk_reader *reader);

/* ---- Reading at any frame ----------------------------------------------- */

/* A stream the reader reads itself, at any position: a file, memory, a
 * network store. `read` reads up to `size` bytes from stream position
 * `offset` into `bytes` and returns the count read (less than `size` only
 * at the end of the stream, 0 beyond it) or -1 on an error. */
typedef struct tarsk_source {
  int64_t (*read)(void *user, uint64_t offset, uint8_t *bytes, size_t size);
  void *user;
} tarsk_source;

/* A reader over a source: tarsk_reader_next reads the source itself (push
 * and finish are refused) and hands out the frames in order from the
 * first, as a reader fed the whole stream would; tarsk_reader_seek and
 * tarsk_reader_seek_timecode move it to any frame. The source must stay
 * valid, and its bytes as they are, while the reader is open. */
int tarsk_reader_open_source(tarsk_reader **reader, const tarsk_source *source);
/* A reader over a file ("-" is not a file: pipes cannot seek). */
int tarsk_reader_open_file(tarsk_reader **reader, const char *path);

/* Moves a reader over a source so that tarsk_reader_next gives frame
 * `frame` next, exactly as reading from the start gives it (its bytes,
 * index, offset and damage), and the frames after it in order; then
 * tarsk_reader_next reads on from there. TARSK_E_END when the stream has
 * no such frame. Frame numbers count the frames the reader hands out, so a
 * damaged stream's are those of reading it through. Raw DV's frames have
 * one size, so an undamaged stretch is crossed by looking at each frame's
 * first and last blocks only; past damage, and where recordings of the
 * other system are joined on, the reader reads the stretch through once.
 * What it learns is kept in an index for later seeks. */
int tarsk_reader_seek(tarsk_reader *reader, uint64_t frame);
/* Moves a reader over a source to a frame carrying `timecode` (as
 * tarsk_decode_info reads it, the drop-frame flag aside) and gives its
 * number in `frame` (may be null). The frame is found by the time code's
 * distance from frames already read, so in a recording whose time code
 * runs on it is reached in a few jumps; where that fails, frames are read
 * in order from the start and the first carrying it is taken.
 * TARSK_E_END when no frame carries it. */
int tarsk_reader_seek_timecode(tarsk_reader *reader, const tarsk_timecode *timecode,
                               uint64_t *frame);
/* The frames of a reader over a source, all of them (the reader's place
 * is kept). */
int tarsk_reader_frames(tarsk_reader *reader, uint64_t *frames);

/* ---- Decoding ----------------------------------------------------------- */

/* How far a decoder reads each block's codes. */
typedef enum tarsk_decode_depth {
  TARSK_DEPTH_FULL = 0,   /* every code, codes spilled into other blocks' areas too */
  TARSK_DEPTH_BLOCK = 1,  /* the codes within each block's own area */
  TARSK_DEPTH_DC = 2      /* the DC coefficient only */
} tarsk_decode_depth;

/* How blocks are reconstructed: accurately (the format's exact inverse
 * weights and a transform rounded to nearest, closer to the source), or by
 * the specified arithmetic, bit for bit dv.h's pictures. */
typedef enum tarsk_reconstruction {
  TARSK_RECONSTRUCTION_ACCURATE = 0,
  TARSK_RECONSTRUCTION_SPECIFIED = 1
} tarsk_reconstruction;

typedef struct tarsk_decoder_settings {
  int threads;            /* threads sharing each picture, or frames in flight (send); 1: one;
                             a service's: calls decoding at once */
  int depth;              /* a tarsk_decode_depth */
  int reconstruction;     /* a tarsk_reconstruction */
  int monochrome;         /* decode luma only: a grey picture */
  int conceal;            /* hide damaged macroblocks behind the previous picture's */
  int clamp_luma;         /* hold luma to 16..235 */
  int clamp_chroma;       /* hold chroma to 16..240 */
  int ntsc_setup;         /* add the 7.5 IRE set-up to 525/60 luma */
  /* What to take a stream for where its packs are wrong: 0 what they say;
   * video_system 1 525/60 4:1:1, 2 625/50 4:2:0, 3 625/50 4:1:1; audio_rate
   * 32000, 44100 or 48000; audio_bits 12 or 16; audio_emphasis 1 on, 2 off. */
  int video_system;
  int audio_rate, audio_bits, audio_emphasis;
  tarsk_log_callback log; /* null: messages to stderr */
  void *log_user;
  int reserved[16];       /* zero: room for settings to come */
} tarsk_decoder_settings;

/* The accurate reconstruction, concealment on, full depth, colour, no
 * clamps, no set-up, one thread. */
void tarsk_decoder_default_settings(tarsk_decoder_settings *settings);

typedef struct tarsk_decoder tarsk_decoder;

int tarsk_decoder_open(tarsk_decoder **decoder, const tarsk_decoder_settings *settings);
void tarsk_decoder_close(tarsk_decoder **decoder);

/* Reads a frame's header, VAUX and subcode packs and AAUX source pack into
 * `info`; checks the frame's header blocks and its length first. */
int tarsk_decode_info(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                      tarsk_frame_info *info);

/* What decoding a picture found: macroblocks whose DIF block was missing or
 * flagged, or whose codes do not parse, and of them those hidden by the
 * previous picture's (all of them with concealment on). */
typedef struct tarsk_picture_damage {
  int damaged_macroblocks;
  int concealed_macroblocks;
} tarsk_picture_damage;

/* Decodes a frame's picture into `picture`. With its planes set (data[0]
 * not null) the picture is written there, in its format and size, which
 * must be the frame's; with data[0] null the library gives it planes of
 * its format (TARSK_PIXEL_NATIVE: the frame's own sampling), to be freed
 * with tarsk_picture_free. The native formats take a picture at the
 * frame's sampling only; I422, YUY2, RGB24 and BGR0 take any frame.
 * A 625/50 4:2:0 picture is interlaced and carries its chroma per field:
 * chroma line 2m + f belongs to field f (f = 0: lines 0, 2, 4, ...), between
 * its lines 2m and 2m + 1. The accurate reconstruction spreads it to
 * I422, YUY2 and RGB field by field, each line 3/4 from its field's
 * nearest chroma line and 1/4 from the next nearest; when the frame's
 * VAUX source control pack says the picture is progressive, chroma line k
 * sits between lines 2k and 2k + 1 and each line takes 3/4 of the nearest
 * chroma line and 1/4 of the next. The specified reconstruction gives
 * chroma line k to picture lines 2k and 2k + 1, as dv.h does.
 * Pictures must come in stream order for concealment. `damage` may be
 * null. */
int tarsk_decode_video(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_picture *picture, tarsk_picture_damage *damage);

/* Parses a frame's video and finds its damaged macroblocks without writing
 * a picture (about half the work of decoding one). */
int tarsk_decode_check(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_picture_damage *damage);

/* Forgets the previous picture (after a jump in the stream). */
void tarsk_decoder_reset(tarsk_decoder *decoder);

/* Decoding on frame threads: `threads` frames at once, a frame to a thread,
 * handed back in the order they went in (pictures bit-identical to
 * tarsk_decode_video's). send starts a frame into a picture whose planes
 * the caller set; the frame's bytes and the picture must stay as they are
 * until it is received. Up to TARSK_FRAMES_PER_THREAD x `threads` frames
 * may be in flight, so that a thread finds its next frame waiting while the
 * caller handles the oldest; beyond that send gives TARSK_E_AGAIN: receive
 * one first. receive waits for the oldest frame in
 * flight and gives the picture it was sent with and its damage, or that
 * frame's error; TARSK_E_AGAIN when none is in flight. */
#define TARSK_FRAMES_PER_THREAD 2
int tarsk_decode_send(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                      tarsk_picture *picture);
int tarsk_decode_receive(tarsk_decoder *decoder, tarsk_picture **picture,
                         tarsk_picture_damage *damage);

/* A frame's sound: `samples` receives `frames` sample frames of `channels`
 * interleaved 16-bit samples (12-bit sound expanded to 16 bits). */
typedef struct tarsk_audio {
  int rate, bits, channels;
  int frames;
  int failed_blocks; /* audio DIF blocks whose samples are all error-coded */
} tarsk_audio;

/* The most sample frames a DV frame carries (625/50 at 48 kHz). */
#define TARSK_AUDIO_MAX_FRAMES 1944

/* Decodes a frame's sound into `samples` (room for `capacity` samples:
 * TARSK_AUDIO_MAX_FRAMES x 4 always suffices). */
int tarsk_decode_audio(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       int16_t *samples, size_t capacity, tarsk_audio *audio);

/* Everything of a frame in one call, its header blocks checked and parsed
 * once: its information, its picture into `picture` (as tarsk_decode_video;
 * null with `damage` given: the video only checked for damage, as
 * tarsk_decode_check; both null: the video left alone) and its sound into
 * `samples` (as tarsk_decode_audio; null or a frame without sound: none,
 * audio->frames 0). Any of the outputs may be null. A frame whose sound
 * cannot be decoded still gives its picture: the call returns
 * TARSK_E_NO_AUDIO after writing it. */
int tarsk_decode_frame(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                       tarsk_frame_info *info, tarsk_picture *picture,
                       tarsk_picture_damage *damage, int16_t *samples, size_t capacity,
                       tarsk_audio *audio);

/* ---- Decoding for many threads ------------------------------------------ */

/* A decoding service: one object that any number of threads may call at
 * once, each call decoding one frame on the caller's own thread. It keeps a
 * pool of decoder contexts, made as calls need them, at most the settings'
 * `threads` of them: that many calls decode at the same time, and a call
 * beyond them waits until one of them returns. Every call decodes as a
 * decoder just reset does: its results depend on its frame and the
 * settings alone, never on the thread, on earlier calls or on which
 * context took it. There is no previous picture, so concealment has
 * nothing to copy from: with it on, damaged macroblocks come out grey and
 * are counted as concealed (a caller that wants them covered by the
 * previous picture decodes the stream in order with a decoder of its
 * own); with it off, they are decoded from their bits as they are. The
 * settings' log callback is called on the callers' threads, by several of
 * them at once: it must be safe for that. No call may be in progress when
 * the service is closed. */
typedef struct tarsk_decode_service tarsk_decode_service;

/* Opens a service with these settings (null: the defaults); `threads` is
 * the most calls decoding at once, each of them on one thread. */
int tarsk_decode_service_open(tarsk_decode_service **service,
                              const tarsk_decoder_settings *settings);
void tarsk_decode_service_close(tarsk_decode_service **service);

/* tarsk_decode_video and tarsk_decode_frame through the service: the same
 * arguments, outputs and errors, the picture into the caller's planes
 * (any strides) or into planes the call makes. */
int tarsk_decode_service_video(tarsk_decode_service *service, const uint8_t *frame, size_t size,
                               tarsk_picture *picture, tarsk_picture_damage *damage);
int tarsk_decode_service_frame(tarsk_decode_service *service, const uint8_t *frame, size_t size,
                               tarsk_frame_info *info, tarsk_picture *picture,
                               tarsk_picture_damage *damage, int16_t *samples, size_t capacity,
                               tarsk_audio *audio);

/* ---- Inspecting frames ------------------------------------------------- */

/* Everything a frame says about itself and its damage, read without
 * decoding its picture or sound: for analysing a transfer of a tape, cutting
 * it into its recordings, and mending it from other transfers. */

#define TARSK_MAX_SEQUENCES 12            /* DIF sequences of a 625/50 frame (10 in 525/60) */
#define TARSK_SEGMENTS_PER_SEQUENCE 27    /* video segments of five blocks in each */
#define TARSK_AUDIO_BLOCKS_PER_SEQUENCE 9 /* audio blocks in each */

/* The damage in one DIF sequence. A video segment is five video blocks, a
 * macroblock each, whose codes may run on into each other: the unit in
 * which video can be taken over from another copy of the frame. */
typedef struct tarsk_sequence_facts {
  int flagged_video;          /* video blocks whose status nibble reports an error */
  int broken_video;           /* video blocks not flagged whose macroblock's codes do not parse */
  uint32_t damaged_segments;  /* bit k: segment k (0..26) has a flagged or broken block */
  int audio_errors;           /* error-coded samples of the frame in its audio blocks */
  uint32_t damaged_audio;     /* bit a: audio block a (0..8) holds such a sample */
} tarsk_sequence_facts;

typedef struct tarsk_frame_facts {
  tarsk_frame_info info;
  int sequences; /* 10 or 12 */
  /* The recording start and end flags of the AAUX source control pack
   * (REC ST, REC END): 1 the frame opens (ends) a recording, 0 not, -1 the
   * frame has no such pack. */
  int recording_start, recording_end;
  /* The absolute track number the subcode's sync block IDs carry: the
   * number on the tape of the frame's first track, counted from the start
   * of the tape. has_absolute_track 0 when the IDs carry none or disagree. */
  int has_absolute_track;
  int32_t absolute_track;
  int damaged_macroblocks;  /* flagged or broken: what decoding conceals */
  int audio_errors[4];      /* error-coded samples per channel (none without sound) */
  tarsk_sequence_facts sequence[TARSK_MAX_SEQUENCES];
} tarsk_frame_facts;

/* Where the parts the facts name stand in a frame: the first byte of video
 * segment `segment` (0..26; its five blocks follow one another) and of
 * audio block `block` (0..8) of DIF sequence `sequence` (0..11); -1 for a
 * number out of range. A program that mends a frame from another copy of
 * it takes these bytes over. */
#define TARSK_DIF_BLOCK_BYTES 80
#define TARSK_SEGMENT_BYTES (5 * TARSK_DIF_BLOCK_BYTES)
ptrdiff_t tarsk_segment_offset(int sequence, int segment);
ptrdiff_t tarsk_audio_block_offset(int sequence, int block);

/* A pack as it stands in a frame: the DIF section holding it (1 subcode,
 * 2 VAUX, 3 audio: the AAUX pack at the head of an audio block), the DIF
 * sequence, the block's number within its section (subcode 0..1, VAUX
 * 0..2, audio 0..8), the pack's slot in the block (subcode 0..5, VAUX
 * 0..14, audio 0) and its five bytes: the pack ID, then PC1 to PC4. */
typedef struct tarsk_pack {
  int section, sequence, block, slot;
  uint8_t bytes[5];
} tarsk_pack;

/* Room for every pack of a 625/50 frame: 12 sequences of 12 subcode, 45
 * VAUX and 9 AAUX slots. */
#define TARSK_MAX_PACKS (12 * (12 + 45 + 9))

/* Lists the packs of a frame in stream order, empty slots (ID 0xFF) left
 * out, into `packs` (room for `capacity`: TARSK_MAX_PACKS always
 * suffices); `count` receives how many. Blocks whose ID does not name the
 * section their place in the frame holds (damage, a missing block filled
 * in) are passed over. The frame's length must be that of its system
 * by its first header block. */
int tarsk_frame_packs(const uint8_t *frame, size_t size, tarsk_pack *packs, size_t capacity,
                      size_t *count);

/* Reads a frame's information, markers, track number and damage into
 * `facts` (its video parsed, not reconstructed); checks the frame's header
 * blocks and its length first. */
int tarsk_inspect_frame(tarsk_decoder *decoder, const uint8_t *frame, size_t size,
                        tarsk_frame_facts *facts);

/* ---- Encoding ----------------------------------------------------------- */

typedef enum tarsk_encode_quality {
  TARSK_QUALITY_BEST = 0,    /* a rate-distortion search over each whole segment */
  TARSK_QUALITY_STANDARD = 1 /* the format's own quantiser search, as dv.h's encoder */
} tarsk_encode_quality;

/* The chroma sampling an encoder's frames carry. 0 is the system's own,
 * as consumer DV (IEC 61834) has it: 4:2:0 in 625/50, 4:1:1 in 525/60.
 * 4:1:1 in 625/50 makes SMPTE 314M frames (DV25 as DVCPRO writes it);
 * 4:2:0 exists in 625/50 only. */
typedef enum tarsk_encode_sampling {
  TARSK_ENCODE_SAMPLING_SYSTEM = 0,
  TARSK_ENCODE_SAMPLING_411 = 1,
  TARSK_ENCODE_SAMPLING_420 = 2
} tarsk_encode_sampling;

typedef struct tarsk_encoder_settings {
  int system;            /* a tarsk_system */
  int quality;           /* a tarsk_encode_quality */
  int wide;              /* 16:9 in the frames' metadata */
  int passes;            /* 1, 2 or 3: how far codes may spill (the best quality takes 3) */
  int static_qno;        /* 0 searched; 1, 2 a row of the static table (standard only) */
  int force_dct;         /* -1 chosen per block, 0 8x8, 1 2-4-8 */
  int threads;           /* threads sharing each picture, or frames in flight (send); 1: one */
  int64_t timecode;      /* the first frame's time code, in frames from 00:00:00:00: with
                            drop_frame, the frames that really pass (00:01:00;02 is 1800) */
  int has_date;          /* with a recording date; else the clock at the first frame */
  int64_t date;          /* seconds since 1970-01-01 of the first frame's recording time */
  tarsk_log_callback log; /* null: messages to stderr */
  void *log_user;
  int sampling;           /* a tarsk_encode_sampling */
  int drop_frame;         /* 525/60: count the time code in drop-frame and flag it */
  int progressive;        /* 1: the pictures are progressive (see tarsk_encode_video) */
  int reserved[13];       /* zero: room for settings to come */
} tarsk_encoder_settings;

/* 625/50 at the system's own sampling (4:2:0), 4:3, the standard quality,
 * three passes, searched quantisers, DCT mode chosen per block, one
 * thread, time code 0, the clock's date. */
void tarsk_encoder_default_settings(tarsk_encoder_settings *settings);

typedef struct tarsk_encoder tarsk_encoder;

int tarsk_encoder_open(tarsk_encoder **encoder, const tarsk_encoder_settings *settings);
void tarsk_encoder_close(tarsk_encoder **encoder);

/* Bytes of a frame the encoder makes. */
size_t tarsk_encoder_frame_bytes(const tarsk_encoder *encoder);
/* Frames made or sent so far: the next one's number. */
uint64_t tarsk_encoder_frames(const tarsk_encoder *encoder);

/* Encodes a 720-wide picture of the system's height, in studio-range
 * Y'CbCr: planar at the stream's sampling (I420 for 4:2:0, Y41B for
 * 4:1:1), whose chroma goes into the frame as it is, or I422, whose chroma
 * is brought to the stream's by averaging pairs: two columns for 4:1:1;
 * for 4:2:0 two lines of the same field with the best quality (625/50
 * pictures are interlaced, and each 4:2:0 chroma line belongs to one
 * field: see tarsk_decode_video), two neighbouring lines with the
 * standard quality (as dv.h's encoder does) or when the settings say the
 * pictures are progressive. Progressive pictures clear the interlace flag
 * of the frames' VAUX source control packs. The frame (`size` at least
 * tarsk_encoder_frame_bytes) gets the picture, header, subcode and VAUX
 * blocks (time code and recording clock running on from the settings');
 * its audio blocks are left empty for tarsk_encode_sound. */
int tarsk_encode_video(tarsk_encoder *encoder, const tarsk_picture *picture, uint8_t *frame,
                       size_t size);

/* Encoding on frame threads: `threads` pictures at once, a picture to a
 * thread, their frames handed back in the order the pictures went in. Each
 * frame takes its number when it is sent (the next tarsk_encoder_frames),
 * and its time code and recording clock follow from that number, so the
 * frames are bit-identical to tarsk_encode_video's for the same pictures in
 * the same order. send checks the picture as tarsk_encode_video does, and
 * a picture it refuses takes no number; it then starts encoding the
 * picture into `frame` (`size` at least tarsk_encoder_frame_bytes). The
 * picture's planes and the frame must stay as they are until it is
 * received (the picture record itself may go). Up to
 * TARSK_FRAMES_PER_THREAD x `threads` frames may be in flight; beyond that
 * send gives TARSK_E_AGAIN: receive one first. receive waits for the oldest
 * frame in flight and gives the frame it was sent with and its number
 * (either may be null); TARSK_E_AGAIN when none is in flight.
 * tarsk_encode_video gives TARSK_E_BAD_CALL while frames are in flight.
 * Closing the encoder drops the frames not yet received. */
int tarsk_encode_send(tarsk_encoder *encoder, const tarsk_picture *picture, uint8_t *frame,
                      size_t size);
int tarsk_encode_receive(tarsk_encoder *encoder, uint8_t **frame, uint64_t *number);

/* Sample frames that frame number `frame` of the stream carries at `rate`
 * (48000, 44100 or 32000 Hz), locked to the video; 0 for another rate. */
int tarsk_encoder_audio_frames(const tarsk_encoder *encoder, int rate, uint64_t frame);

/* Puts a frame's sound into the audio blocks of a frame the encoder made:
 * sound->frames sample frames of sound->channels interleaved 16-bit samples
 * at sound->rate, coded in sound->bits: 16 (2 channels at 48000, 44100 or
 * 32000 Hz) or 12 (non-linear, 32000 Hz, 2 channels: one stereo pair, or 4:
 * two). sound->failed_blocks is not read. The frame count must be one the
 * AAUX source pack can state: from the system's least at the rate (525/60:
 * 1580, 1452, 1053 at 48, 44.1, 32 kHz; 625/50: 1896, 1742, 1264) to 63
 * more, and no more than the frame has positions for (at 32 kHz 1080 in
 * 525/60, 1296 in 625/50); tarsk_encoder_audio_frames gives the count of
 * locked sound. 12-bit samples are coded to the nearest of the 12-bit codes
 * (steps of 1 up to +-511, doubling every 256 codes to steps of 64 above
 * +-16384); the first pair goes into the first half of the DIF sequences,
 * the second into the second half, which one pair leaves silent. Errors:
 * TARSK_E_BAD_CALL (a null argument), TARSK_E_BAD_BUFFER (`size` below
 * tarsk_encoder_frame_bytes), TARSK_E_BAD_AUDIO (anything else the frame
 * cannot carry). */
int tarsk_encode_sound(tarsk_encoder *encoder, const int16_t *samples, const tarsk_audio *sound,
                       uint8_t *frame, size_t size);

/* Puts `frames` sample frames of interleaved 16-bit stereo at `rate` into
 * the audio blocks of a frame the encoder made: tarsk_encode_sound with 2
 * channels of 16 bits. */
int tarsk_encode_audio(tarsk_encoder *encoder, const int16_t *samples, int frames, int rate,
                       uint8_t *frame, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* TARSK_TARSK_H */
