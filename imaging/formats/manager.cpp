#include "vexImageFile.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

TvexImageFileMgr::TvexImageFileMgr() : ImageInfo(std::make_unique<TvexImageInfo>()) {}

TvexImageFileMgr::~TvexImageFileMgr() {
  Current.reset();
  ImageInfo.reset();
}

TvexImageFileMgr& ImageFileManager() {
  static TvexImageFileMgr manager;
  return manager;
}

void TvexImageFileMgr::Lock() {
  CountLock.Enter();
  ++LockCount;
  CountLock.Leave();
  FileLock.Enter();
}

void TvexImageFileMgr::Unlock() {
  FileLock.Leave();
  CountLock.Enter();
  --LockCount;
  CountLock.Leave();
}

void TvexImageFileMgr::SetQuality(std::uint16_t v) {
  Quality = std::clamp<std::uint16_t>(v, 1, 100);
}

TvexFileFormat TvexImageFileMgr::FormatFromExtension(const std::string& file_name) {
  // The extension is what follows the last dot of the last path component.
  const std::size_t slash = file_name.find_last_of("/\\");
  const std::size_t dot = file_name.find_last_of('.');
  std::string ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    ext = file_name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  struct Entry {
    const char* ext;
    TvexFileFormat format;
  };
  static constexpr Entry kTable[] = {
      {"bmp", FF_BMP},  {"rle", FF_BMP},  {"cri", FF_CRI},   {"dib", FF_DIB},   {"gif", FF_GIF},
      {"ico", FF_ICON}, {"jpg", FF_JPEG}, {"jpeg", FF_JPEG}, {"pbm", FF_PBM},   {"pcx", FF_PCX},
      {"pgm", FF_PGM},  {"png", FF_PNG},  {"ppm", FF_PPM},   {"bw", FF_SGI},    {"rgb", FF_SGI},
      {"rgba", FF_SGI}, {"sgi", FF_SGI},  {"tif", FF_TIFF},  {"tiff", FF_TIFF}, {"tga", FF_TARGA},
  };
  for (const Entry& e : kTable)
    if (ext == e.ext) return e.format;
  return FF_UNKNOWN;
}

std::unique_ptr<TvexImageFile> vexMakeFormat(TvexFileFormat format, const TvexImageFileMgr& mgr) {
  for (const TvexFormatClass& c : vexFormatClasses())
    if (c.format == format) return c.make(mgr);
  return nullptr;
}

std::vector<TvexFileFormat> vexProbeOrder(TvexFileFormat tried) {
  // Weak signatures come last: a Targa header is little more than a few
  // plausible numbers, and asked early it would claim BMP or icon files
  // whose extension lies.
  const auto classes = vexFormatClasses();
  std::string_view tried_class;
  for (const TvexFormatClass& c : classes)
    if (c.format == tried) tried_class = c.class_name;
  std::vector<TvexFileFormat> order;
  std::vector<std::string_view> asked;
  if (!tried_class.empty()) asked.push_back(tried_class);
  for (const auto probe : {TvexFormatClass::Probe::Strong, TvexFormatClass::Probe::Weak}) {
    for (const TvexFormatClass& c : classes) {
      if (c.probe != probe || c.format == tried) continue;
      if (std::find(asked.begin(), asked.end(), c.class_name) != asked.end()) continue;
      asked.push_back(c.class_name);
      order.push_back(c.format);
    }
  }
  return order;
}

void TvexImageFileMgr::FreeCurrent() {
  Current.reset();
}

TvexImageFile* TvexImageFileMgr::CreateFormat(TvexFileFormat file_format) {
  FreeCurrent();
  if (file_format >= FF_UNKNOWN) return nullptr;
  Current = vexMakeFormat(file_format, *this);
  if (Current) Current->SetImageInfo(ImageInfo.get());
  return Current.get();
}

DibHandle TvexImageFileMgr::LoadImage(const std::string& file_name, TvexFileFormat file_format) {
  Lock();
  DibHandle result = DibHandle::Null;
  TvexFileFormat used = FF_UNKNOWN;
  // Frees the format object and unlocks however the load ends.
  struct Finish {
    TvexImageFileMgr& m;
    ~Finish() {
      if (m.Current) m.LastError = m.Current->GetError();
      m.FreeCurrent();
      m.Unlock();
    }
  } finish{*this};

  if (file_format == FF_DETECT) file_format = FormatFromExtension(file_name);
  if (file_format < FF_UNKNOWN) CreateFormat(file_format);
  ImageInfo->Clear();
  if (Current) {
    result = Current->LoadFromFile(file_name);
    LastError = Current->GetError();
    used = file_format;
  } else {
    LastError = EC_BADFORMAT;
  }
  for (const TvexFileFormat n : vexProbeOrder(file_format)) {
    if (!vex::platform::is_null(result) || LastError != EC_BADFORMAT) break;
    if (CreateFormat(n)) {
      ImageInfo->Clear();
      result = Current->LoadFromFile(file_name);
      LastError = Current->GetError();
      used = n;
    }
  }
  if (!vex::platform::is_null(result) && Current) {
    Compression = Current->GetCompression();
    Quality = Current->GetQuality();
    Interlaced = Current->GetInterlaced() ? 1 : 0;
    ImageInfo->SetFileName(file_name);
    ImageInfo->SetFileFormat(used);
    if (static_cast<std::uint32_t>(Current->GetNumImages()) >= 2) {
      MoreImages = 1;
      ImageIndex = Current->GetImageIndex();
    } else {
      MoreImages = 0;
    }
  }
  return result;
}

bool TvexImageFileMgr::StreamImage(const std::string& file_name, TvexFileFormat file_format,
                                   TvexRowSink& sink) {
  Lock();
  struct Finish {
    TvexImageFileMgr& m;
    ~Finish() {
      if (m.Current) {
        m.LastError = m.Current->GetError();
        m.Current->SetRowSink(nullptr);
      }
      m.FreeCurrent();
      m.Unlock();
    }
  } finish{*this};

  if (file_format == FF_DETECT) file_format = FormatFromExtension(file_name);
  if (file_format >= FF_UNKNOWN || !CreateFormat(file_format) || !Current->CanStreamRows())
    return false;
  ImageInfo->Clear();
  Current->SetRowSink(&sink);
  Current->LoadFromFile(file_name);
  LastError = Current->GetError();
  Compression = Current->GetCompression();
  Quality = Current->GetQuality();
  Interlaced = Current->GetInterlaced() ? 1 : 0;
  ImageInfo->SetFileName(file_name);
  ImageInfo->SetFileFormat(file_format);
  MoreImages = 0;
  return true;
}

void TvexImageFileMgr::SaveImage(const std::string& file_name, TvexFileFormat file_format,
                                 DibHandle dib) {
  if (vex::platform::is_null(dib)) return;
  Lock();
  struct Finish {
    TvexImageFileMgr& m;
    ~Finish() {
      m.FreeCurrent();
      m.Unlock();
    }
  } finish{*this};
  if (file_format == FF_DETECT) file_format = FormatFromExtension(file_name);
  if (file_format < FF_UNKNOWN) CreateFormat(file_format);
  if (Current) {
    Current->SetCompression(Compression);
    Current->SetQuality(Quality);
    Current->SetInterlaced(Interlaced != 0);
    Current->SetHelpers(Helpers);
    try {
      Current->SaveToFile(file_name, dib);
    } catch (...) {
      // A writer that lets its exception out still leaves its code behind.
      ImageInfo->Clear();
      LastError = Current->GetError();
      throw;
    }
    ImageInfo->Clear();
    LastError = Current->GetError();
  }
}
