#include "platform/portal/pipewire_params.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>

const struct spa_pod* zel_video_formats(struct spa_pod_builder* builder) {
    return spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
                               SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR,
                               SPA_VIDEO_FORMAT_ABGR),
        SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1920, 1080), &SPA_RECTANGLE(1, 1),
                                       &SPA_RECTANGLE(16384, 16384)),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1), &SPA_FRACTION(0, 1),
                                      &SPA_FRACTION(240, 1)));
}

const struct spa_pod* zel_video_buffers(struct spa_pod_builder* builder) {
    return spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)));
}

const struct spa_pod* zel_video_damage_meta(struct spa_pod_builder* builder) {
    return spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(struct spa_meta_region) * ZEL_DAMAGE_REGIONS,
                                 sizeof(struct spa_meta_region),
                                 sizeof(struct spa_meta_region) * ZEL_DAMAGE_REGIONS));
}

int zel_video_damage(const struct spa_buffer* buffer, int32_t regions[][4]) {
    struct spa_meta* meta = spa_buffer_find_meta((struct spa_buffer*)buffer, SPA_META_VideoDamage);
    if (meta == NULL) {
        return -1;
    }
    int count = 0;
    struct spa_meta_region* region = NULL;
    /* An invalid entry ends the list. */
    spa_meta_for_each(region, meta) {
        if (!spa_meta_region_is_valid(region) || count == ZEL_DAMAGE_REGIONS) {
            break;
        }
        regions[count][0] = region->region.position.x;
        regions[count][1] = region->region.position.y;
        regions[count][2] = (int32_t)region->region.size.width;
        regions[count][3] = (int32_t)region->region.size.height;
        ++count;
    }
    /* No region at all says as little as no list. */
    return count > 0 ? count : -1;
}

int zel_video_parse(const struct spa_pod* param, uint32_t* format, uint32_t* width,
                    uint32_t* height) {
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    struct spa_video_info_raw info;
    if (param == NULL || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0) {
        return 0;
    }
    *format = info.format;
    *width = info.size.width;
    *height = info.size.height;
    return 1;
}
