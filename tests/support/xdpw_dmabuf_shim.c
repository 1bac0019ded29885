/* Preloaded into xdg-desktop-portal-wlr for the sway system test. Version 0.7.0 of that portal
 * starts a screen cast only when the compositor's screencopy frame also offers a DMA-BUF format,
 * which sway's software renderer never does (there is no GPU render node here): it answers Start
 * with 2, "unable to receive a valid format from wlr_screencopy". This tells it that XRGB8888 is
 * also offered as a DMA-BUF before each frame's buffer_done; without a GBM device the portal then
 * negotiates shared memory only, so the pictures are the compositor's real ones, copied through
 * wl_shm. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char* wl_proxy_get_class(struct wl_proxy* proxy);

/* zwlr_screencopy_frame_v1's events, in the order of the protocol (version 3). */
struct frame_listener {
  void (*buffer)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*flags)(void*, void*, uint32_t);
  void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*failed)(void*, void*);
  void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*linux_dmabuf)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*buffer_done)(void*, void*);
};

static const struct frame_listener* portal_listener;
static struct frame_listener shim_listener;
static uint32_t frame_width, frame_height;

static void on_buffer(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height,
                      uint32_t stride) {
  frame_width = width;
  frame_height = height;
  portal_listener->buffer(data, frame, format, width, height, stride);
}

static void on_buffer_done(void* data, void* frame) {
  const uint32_t xrgb8888 = 0x34325258; /* 'XR24' */
  portal_listener->linux_dmabuf(data, frame, xrgb8888, frame_width, frame_height);
  portal_listener->buffer_done(data, frame);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*next)(struct wl_proxy*, void (**)(void), void*);
  if (next == NULL) *(void**)&next = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
    portal_listener = (const struct frame_listener*)implementation;
    shim_listener = *portal_listener;
    shim_listener.buffer = on_buffer;
    shim_listener.buffer_done = on_buffer_done;
    implementation = (void (**)(void))&shim_listener;
  }
  return next(proxy, implementation, data);
}
