/* The stream parameters, built with SPA's pod macros, which are C only (compound literals). */
#pragma once

#include <spa/buffer/buffer.h>
#include <spa/pod/builder.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raw video in the 32-bit formats we convert, any size and rate. */
const struct spa_pod* zel_video_formats(struct spa_pod_builder* builder);
/* Buffers in memory we can read: plain pointers or shared memory, no DMA-BUF. */
const struct spa_pod* zel_video_buffers(struct spa_pod_builder* builder);
/* The damage of each buffer (SPA_META_VideoDamage), up to ZEL_DAMAGE_REGIONS regions. */
#define ZEL_DAMAGE_REGIONS 16
const struct spa_pod* zel_video_damage_meta(struct spa_pod_builder* builder);
/* A buffer's damaged regions into `regions` (x, y, width, height each, at most
   ZEL_DAMAGE_REGIONS); their number, or -1 when the buffer says nothing about its damage. */
int zel_video_damage(const struct spa_buffer* buffer, int32_t regions[][4]);
/* The negotiated format; 0 when the parameter is no raw video format. */
int zel_video_parse(const struct spa_pod* param, uint32_t* format, uint32_t* width,
                    uint32_t* height);

#ifdef __cplusplus
}
#endif
