#include "capture/video_encoder.hpp"

#include "base/app_error.hpp"

#include <algorithm>
#include <libyuv/convert.h>
#include <wels/codec_api.h>

namespace zel {
namespace {

constexpr int kMaxWidth = 4096;
constexpr int kMaxHeight = 2304;
constexpr float kFrameRate = 30;

class H264Encoder final : public VideoEncoder {
public:
    H264Encoder(int width, int height, int bitrate) : width_(width), height_(height) {
        if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 || width > kMaxWidth ||
            height > kMaxHeight) {
            throw AppError("A video area must have an even size up to 4096 × 2304.");
        }
        if (WelsCreateSVCEncoder(&encoder_) != 0 || encoder_ == nullptr) {
            throw AppError("The H.264 encoder could not be created.");
        }
        int quiet = WELS_LOG_QUIET; // its warnings would go to our standard error
        encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
        SEncParamExt params{};
        encoder_->GetDefaultParams(&params);
        params.iUsageType = CAMERA_VIDEO_REAL_TIME;
        params.iPicWidth = width;
        params.iPicHeight = height;
        params.iTargetBitrate = bitrate;
        params.iMaxBitrate = UNSPECIFIED_BIT_RATE;
        params.iRCMode = RC_BITRATE_MODE;
        params.fMaxFrameRate = kFrameRate;
        params.iComplexityMode = LOW_COMPLEXITY;
        params.uiIntraPeriod = 0; // keyframes only when asked: a new viewer, a lost picture
        params.eSpsPpsIdStrategy = CONSTANT_ID;
        params.iEntropyCodingModeFlag = 0;       // CAVLC: constrained baseline
        params.bEnableFrameSkip = false;         // every frame shows; the pacer holds the rate
        params.iMultipleThreadIdc = 1;           // the capture pool is the parallelism
        params.bEnableSceneChangeDetect = false; // an IDR only when asked
        params.iSpatialLayerNum = 1;
        params.iTemporalLayerNum = 1;
        SSpatialLayerConfig& layer = params.sSpatialLayers[0];
        layer.iVideoWidth = width;
        layer.iVideoHeight = height;
        layer.fFrameRate = kFrameRate;
        layer.iSpatialBitrate = bitrate;
        layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
        layer.uiProfileIdc = PRO_BASELINE;
        layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
        if (encoder_->InitializeExt(&params) != cmResultSuccess) {
            WelsDestroySVCEncoder(encoder_);
            throw AppError("The H.264 encoder refused its settings.");
        }
        int format = videoFormatI420;
        encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
        bitrate_ = bitrate;
        const std::size_t luma = static_cast<std::size_t>(width) * height;
        planes_.resize(luma + 2 * (luma / 4));
    }
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;
    ~H264Encoder() override {
        encoder_->Uninitialize();
        WelsDestroySVCEncoder(encoder_);
    }

    [[nodiscard]] int width() const override { return width_; }
    [[nodiscard]] int height() const override { return height_; }

    VideoChunk encode(ConstPixelView pixels, bool key, int bitrate, std::int64_t millis) override {
        if (pixels.width != width_ || pixels.height != height_) {
            throw AppError("A video frame must have its stream's size.");
        }
        if (bitrate != bitrate_) {
            SBitrateInfo info{SPATIAL_LAYER_ALL, bitrate};
            encoder_->SetOption(ENCODER_OPTION_BITRATE, &info);
            bitrate_ = bitrate;
        }
        const std::size_t luma = static_cast<std::size_t>(width_) * height_;
        std::uint8_t* y = planes_.data();
        std::uint8_t* u = y + luma;
        std::uint8_t* v = u + luma / 4;
        // BGRA in memory is libyuv's "ARGB" (a little-endian word).
        if (libyuv::ARGBToI420(pixels.data, static_cast<int>(pixels.stride), y, width_, u,
                               width_ / 2, v, width_ / 2, width_, height_) != 0) {
            throw AppError("A video frame could not be converted.");
        }
        SSourcePicture picture{};
        picture.iColorFormat = videoFormatI420;
        picture.iPicWidth = width_;
        picture.iPicHeight = height_;
        picture.iStride[0] = width_;
        picture.iStride[1] = picture.iStride[2] = width_ / 2;
        picture.pData[0] = y;
        picture.pData[1] = u;
        picture.pData[2] = v;
        picture.uiTimeStamp = millis;
        if (key) {
            encoder_->ForceIntraFrame(true);
        }
        SFrameBSInfo info{};
        if (encoder_->EncodeFrame(&picture, &info) != cmResultSuccess) {
            throw AppError("The H.264 encoder failed on a frame.");
        }
        VideoChunk chunk;
        if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) {
            return chunk;
        }
        chunk.key = info.eFrameType == videoFrameTypeIDR;
        for (int i = 0; i < info.iLayerNum; ++i) {
            const SLayerBSInfo& layer = info.sLayerInfo[i];
            int bytes = 0;
            for (int n = 0; n < layer.iNalCount; ++n) {
                bytes += layer.pNalLengthInByte[n];
            }
            chunk.bytes.insert(chunk.bytes.end(), layer.pBsBuf, layer.pBsBuf + bytes);
        }
        return chunk;
    }

private:
    int width_;
    int height_;
    int bitrate_ = 0;
    ISVCEncoder* encoder_ = nullptr;
    std::vector<std::uint8_t> planes_; // I420: Y, then U, then V
};

} // namespace

std::unique_ptr<VideoEncoder> makeH264Encoder(int width, int height, int bitrate) {
    return std::make_unique<H264Encoder>(width, height, std::max(1, bitrate));
}

} // namespace zel
