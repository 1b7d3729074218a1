// PNG plots: the SVG rasterised by librsvg onto a cairo image surface, when the build has
// them (TARVIK_PLOT_PNG).
#include <stdexcept>
#include <string>

#include "plot.h"

#if TARVIK_PLOT_PNG
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cmath>
#include <memory>
#endif

namespace tarvik::tool {

#if TARVIK_PLOT_PNG

namespace {

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct HandleUnref {
  void operator()(RsvgHandle* handle) const { g_object_unref(handle); }
};
struct SurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct CairoDestroy {
  void operator()(cairo_t* cairo) const { cairo_destroy(cairo); }
};

[[noreturn]] void Fail(const char* what, GError* error) {
  std::unique_ptr<GError, GErrorFree> owned(error);
  throw std::runtime_error(std::string("cannot draw the PNG plot: ") + what +
                           (owned ? std::string(": ") + owned->message : std::string()));
}

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

bool PngPlotsSupported() { return true; }

}  // namespace tarvik::tool

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig, which librsvg's text goes through, keeps its configuration and font lists until
// the process ends; the leak checker is told that these are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace tarvik::tool {

std::string SvgToPng(const std::string& svg) {
  GError* error = nullptr;
  std::unique_ptr<RsvgHandle, HandleUnref> handle(rsvg_handle_new_from_data(
      reinterpret_cast<const guint8*>(svg.data()), svg.size(), &error));
  if (!handle) Fail("the SVG does not parse", error);
  double width = 0, height = 0;
  if (!rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &width, &height) || width < 1 ||
      height < 1 || width > 16384 || height > 16384) {
    Fail("the SVG has no usable size", nullptr);
  }
  std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(cairo_image_surface_create(
      CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))));
  std::unique_ptr<cairo_t, CairoDestroy> cairo(cairo_create(surface.get()));
  if (cairo_status(cairo.get()) != CAIRO_STATUS_SUCCESS) Fail("no drawing surface", nullptr);
  RsvgRectangle viewport{0, 0, width, height};
  if (!rsvg_handle_render_document(handle.get(), cairo.get(), &viewport, &error)) {
    Fail("rendering failed", error);
  }
  std::string png;
  if (cairo_surface_write_to_png_stream(surface.get(), AppendPng, &png) != CAIRO_STATUS_SUCCESS) {
    Fail("encoding failed", nullptr);
  }
  return png;
}

#else

bool PngPlotsSupported() { return false; }

std::string SvgToPng(const std::string&) {
  throw std::runtime_error("this build of tarvik writes SVG plots only (PNG needs librsvg and "
                           "cairo when it is built)");
}

#endif

}  // namespace tarvik::tool
