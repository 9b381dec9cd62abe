#include "cli/detect_command.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

#include "cli/same_place.h"
#include "detect/find_damage.h"
#include "detect/image_damage.h"
#include "image/image.h"
#include "image/image_files.h"
#include "image/load_control.h"
#include "inpaint/entry.h"
#include "platform/console.h"

namespace pw::cli {
namespace {

struct DetectOptions {
  std::string image, output;
  std::optional<std::string> overlay;
  detect::FindOptions find;
  bool help = false;
};

const char kUsage[] =
    "usage: patchwell detect IMAGE -o MASK [--kinds dust,scratches]\n"
    "                        [--overlay PREVIEW] [--sensitivity S]\n"
    "\n"
    "Finds dust specks, scratches and fibres in IMAGE and writes MASK, a\n"
    "picture of its size, white where damage was found, ready to be given\n"
    "to patchwell IMAGE MASK.\n"
    "\n"
    "options:\n"
    "  -o, --output MASK    the mask file to write (required)\n"
    "      --kinds K        what to find, separated by commas: dust,\n"
    "                       scratches, infrared (from the fourth sample of\n"
    "                       an RGBI TIFF scan) (default: dust,scratches)\n"
    "      --overlay FILE   also write the picture with the damage found\n"
    "                       drawn in magenta, to review it\n"
    "      --sensitivity S  above 1 finds fainter damage, below 1 only the\n"
    "                       clearest (default 1)\n"
    "  -h, --help           show this help and exit\n";

bool Parse(const std::vector<std::string>& args, DetectOptions& o, std::string& error) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    const bool is_option = name.size() > 1 && name[0] == '-';
    if (!is_option) {
      positional.push_back(name);
      continue;
    }
    std::optional<std::string> attached;
    if (const size_t eq = name.find('='); name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      attached = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (name == "-h" || name == "--help") {
      o.help = true;
      continue;
    }
    if (name != "-o" && name != "--output" && name != "--kinds" && name != "--overlay" &&
        name != "--sensitivity") {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (attached) {
      value = *attached;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "option '" + name + "' needs a value";
      return false;
    }
    if (value.empty()) {
      error = "option '" + name + "' needs a value";
      return false;
    }
    if (name == "-o" || name == "--output") o.output = value;
    else if (name == "--overlay") o.overlay = value;
    else if (name == "--kinds") {
      if (!ParseDamageKinds(value, o.find.kinds, error)) return false;
    } else {
      char* end = nullptr;
      o.find.sensitivity = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(o.find.sensitivity > 0 && o.find.sensitivity <= 100)) {
        error = "sensitivity must be a number above 0 and at most 100, not '" + value + "'";
        return false;
      }
    }
  }
  if (o.help) return true;
  if (positional.size() != 1) {
    error = positional.empty() ? "IMAGE is required" : "too many arguments: '" + positional[1] + "'";
    return false;
  }
  o.image = positional[0];
  if (o.output.empty()) {
    error = "the mask to write is required: -o MASK";
    return false;
  }
  for (const std::string* out : {&o.output, o.overlay ? &*o.overlay : nullptr}) {
    if (out && Common::SaveFormatFor(*out) == Common::ImageFormat::None) {
      error = "cannot write '" + *out + "': its extension is not a picture format written";
      return false;
    }
  }
  if (o.overlay && SamePlace(*o.overlay, o.output)) {
    error = "the overlay and the mask must be different files";
    return false;
  }
  // The mask and the preview are new files: neither may replace the picture.
  for (const std::string* out : {&o.output, o.overlay ? &*o.overlay : nullptr}) {
    if (out && SamePlace(*out, o.image)) {
      error = "'" + *out + "' is the picture itself: choose another name, the picture would be lost";
      return false;
    }
  }
  return true;
}

int Fail(const std::string& message, int status) {
  ConsoleFprintf(stderr, "patchwell: %s\n", message.c_str());
  return status;
}

}  // namespace

bool ParseDamageKinds(const std::string& text, unsigned& kinds, std::string& error) {
  kinds = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    if (name == "dust") kinds |= detect::kDust;
    else if (name == "scratches") kinds |= detect::kScratches;
    else if (name == "infrared") kinds |= detect::kInfrared;
    else {
      error = "unknown kind '" + name + "': choose from dust, scratches, infrared";
      return false;
    }
    start = comma + 1;
  }
  return true;
}

int RunDetect(const std::vector<std::string>& args) {
  DetectOptions o;
  std::string error;
  if (!Parse(args, o, error))
    return Fail(error + " (see patchwell detect --help)", kExitUsage);
  if (o.help) {
    ConsolePrintf("%s", kUsage);
    return kExitSuccess;
  }
  try {
    Common::CImage picture;
    Common::LoadControl control;
    control.keep_wide = true;
    if (!Common::LoadFile(picture, o.image, control))
      return Fail("cannot read image '" + o.image + "'" +
                      (control.refusal().empty() ? "" : ": " + control.refusal()),
                  kExitFailure);
    Common::CImage mask;
    if (!mask.Create(picture.width, picture.height, 1))
      return Fail("out of memory", kExitFailure);
    std::vector<uint8_t> found(static_cast<size_t>(picture.width) * picture.height, 0);
    detect::AddFoundDamage(picture, o.find.kinds, o.find.sensitivity, found.data());
    for (int32_t y = 0; y < picture.height; ++y)
      for (int32_t x = 0; x < picture.width; ++x)
        mask.PixelAt(x, y)[0] = found[static_cast<size_t>(y) * picture.width + x] ? 255 : 0;
    if (!Common::Save(mask, o.output))
      return Fail("cannot write mask '" + o.output + "'", kExitFailure);
    if (o.overlay) {
      const auto preview = picture.CreateRgbCopy();
      if (!preview) return Fail("out of memory", kExitFailure);
      const uint8_t magenta[3] = {255, 0, 255};
      for (int32_t y = 0; y < picture.height; ++y)
        for (int32_t x = 0; x < picture.width; ++x)
          if (found[static_cast<size_t>(y) * picture.width + x]) preview->SetRgb(x, y, magenta);
      if (!Common::Save(*preview, *o.overlay))
        return Fail("cannot write overlay '" + *o.overlay + "'", kExitFailure);
    }
    ConsolePrintf("%s\n", o.output.c_str());
    return kExitSuccess;
  } catch (const std::bad_alloc&) {
    return Fail("out of memory", kExitFailure);
  } catch (const std::exception& e) {
    return Fail(e.what(), kExitFailure);
  }
}

}  // namespace pw::cli
