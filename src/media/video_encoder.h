// A small H.264 encoder over libavcodec, header-only so that the fake camera (which
// links no project library) and the tests share it: BGR pictures in, the Annex B units
// of one access unit out (parameter sets with every key frame, no B-frames, so each
// unit decodes as soon as it arrives).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <string>
#include <utility>

namespace velmora {

class H264Encoder {
 public:
  H264Encoder() = default;
  ~H264Encoder() { Close(); }
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // width and height even; a key frame every `keyInterval` pictures. False with error
  // filled when no H.264 encoder can be opened.
  bool Open(int width, int height, int fps, int keyInterval, std::string& error) {
    Close();
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
      error = "no H.264 encoder in libavcodec";
      return false;
    }
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
      error = "out of memory for the encoder";
      Close();
      return false;
    }
    context_->width = width;
    context_->height = height;
    context_->time_base = AVRational{1, fps};
    context_->framerate = AVRational{fps, 1};
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->gop_size = keyInterval;
    context_->max_b_frames = 0;
    context_->thread_count = 1;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context_->priv_data, "x264-params", "repeat-headers=1", 0);
    const int rc = avcodec_open2(context_, codec, nullptr);
    if (rc < 0) {
      error = "avcodec_open2 of the H.264 encoder failed";
      Close();
      return false;
    }
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
      error = "out of memory for the encoder";
      Close();
      return false;
    }
    scaler_ = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                             nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
      error = "no BGR to YUV conversion";
      Close();
      return false;
    }
    return true;
  }

  // Encodes one top-down BGR picture; out receives the units that came out for it
  // (possibly none while the encoder fills its pipeline).
  bool Encode(const uint8_t* bgr, int pitch, std::string& out) {
    out.clear();
    if (context_ == nullptr || av_frame_make_writable(frame_) < 0) return false;
    const uint8_t* src[4] = {bgr, nullptr, nullptr, nullptr};
    const int srcStride[4] = {pitch, 0, 0, 0};
    sws_scale(scaler_, src, srcStride, 0, context_->height, frame_->data, frame_->linesize);
    frame_->pts = next_++;
    if (avcodec_send_frame(context_, frame_) < 0) return false;
    for (;;) {
      const int rc = avcodec_receive_packet(context_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
      if (rc < 0) return false;
      out.append(reinterpret_cast<const char*>(packet_->data), static_cast<std::size_t>(packet_->size));
      av_packet_unref(packet_);
    }
    return true;
  }

 private:
  void Close() {
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    next_ = 0;
  }

  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int64_t next_ = 0;
};

}  // namespace velmora
