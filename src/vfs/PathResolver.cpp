#include "vfs/PathResolver.h"

#include <climits>
#include <cstddef>

#include "platform/TextCodec.h"
#include "vfs/Tokens.h"

namespace drovn::vfs {

namespace {

bool isSeparator(char c) noexcept {
  return c == '/' || c == '\\';
}

// The components of a local path in order, as the file layer will split it: '/' and '\' both
// separate, except in a code-page session where a separator byte right after a lead byte is
// the second half of one double-byte character (the file layer gets the path in backslash form
// and converts each such pair as one unit). Empty components and "." are passed over: neither
// moves the walk anywhere.
class ComponentWalk {
 public:
  ComponentWalk(std::string_view path, bool utf8) noexcept : path_(path), utf8_(utf8) {}

  bool next(std::string_view& component) noexcept {
    while (pos_ < path_.size()) {
      while (pos_ < path_.size() && isSeparator(path_[pos_])) ++pos_;
      const std::size_t start = pos_;
      while (pos_ < path_.size() && !isSeparator(path_[pos_])) pos_ += characterLength(pos_);
      if (pos_ > path_.size()) pos_ = path_.size();
      component = path_.substr(start, pos_ - start);
      if (!component.empty() && component != ".") return true;
    }
    return false;
  }

 private:
  std::size_t characterLength(std::size_t i) const noexcept {
    if (utf8_ || i + 1 >= path_.size()) return 1;
    const auto lead = static_cast<unsigned char>(path_[i]);
    // In backslash form every '/' is a '\', which is a valid trail byte.
    const auto trail = path_[i + 1] == '/' ? static_cast<unsigned char>('\\')
                                           : static_cast<unsigned char>(path_[i + 1]);
    return platform::isCodePageLeadByte(lead) && platform::isCodePageTrailByte(trail) ? 2 : 1;
  }

  std::string_view path_;
  bool utf8_;
  std::size_t pos_ = 0;
};



// The virtual depth rule: ".." takes one level back, every other component (even ".") goes one
// level down, and the walk must never end up above the start.
bool climbsAboveRoot(std::string_view combined) {
  TokenList components;
  splitTokens(combined, '/', components);
  long depth = 0;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (components[i] == "..") {
      if (--depth < 0) return true;
    } else {
      ++depth;
    }
  }
  return false;
}

bool walkStaysBeneath(std::string_view localPath, std::string_view rootDir, bool utf8) {
  // The local path starts with the root's own text, so its first components are the root's,
  // whatever "." or ".." the root itself holds; from there no ".." may climb above the root.
  ComponentWalk root(rootDir, utf8);
  ComponentWalk local(localPath, utf8);
  std::string_view r;
  std::string_view l;
  while (root.next(r))
    if (!local.next(l) || l != r) return false;
  std::size_t depth = 0;
  while (local.next(l)) {
    if (l == "..") {
      if (depth == 0) return false;
      --depth;
    } else {
      ++depth;
    }
  }
  return true;
}

}  // namespace

std::optional<ResolvedPath> resolvePath(const PathText& rootDir, const PathText& current,
                                        std::string_view argumentText,
                                        const MountTable& mountTable, bool utf8) {
  PathText currentDir(current);
  while (collapseDotDot(currentDir)) {
  }
  PathText argument;
  // An argument that does not fit is refused rather than cut: a cut path names another file.
  if (!argument.assign(argumentText)) return std::nullopt;
  ResolvedPath resolved;
  PathText& localOut = resolved.local;
  PathText& virtualOut = resolved.virtualPath;

  if (argument.empty()) {
    virtualOut = currentDir;
    localOut = virtualOut;
    // The root goes in unchanged, trailing '/' and all: slash form then folds the "//" that a
    // root of "/" and the directory "/" make.
    if (!mapToLocal(localOut, rootDir.view(), mountTable)) {
      if (!virtualOut.empty()) return std::nullopt;  // too long
      localOut.clear();
      return resolved;
    }
    if (!staysBeneathRoot(localOut.view(), rootDir.view(), utf8))
      return std::nullopt;
    return resolved;
  }

  trimText(argument);

  // A path that does not fit is refused rather than cut: a cut path names another file.
  PathText combined;
  bool fits;
  if (startsWith(argument.view(), "/")) {
    fits = combined.assign(argument);
  } else {
    fits = combined.assign(currentDir);
    if (fits && !endsWith(currentDir.view(), "/")) fits = combined.append('/');
    fits = fits && combined.append(argument.view());
  }
  if (!fits || climbsAboveRoot(combined.view())) return std::nullopt;

  const PathText prefix = rootPrefix(rootDir);

  virtualOut = combined;
  while (collapseDotDot(virtualOut)) {
  }

  // The local path is built from the combined path, not the collapsed one, so its "." and ".."
  // reach the file layer; they are checked against the root here and again by the file layer.
  localOut = combined;
  // combined is never empty, so only a local path too long for its buffer fails to map.
  if (!mapToLocal(localOut, prefix.view(), mountTable) ||
      !staysBeneathRoot(localOut.view(), rootDir.view(), utf8))
    return std::nullopt;
  return resolved;
}

bool mapToLocal(PathText& path, std::string_view rootPrefix, const MountTable& mountTable) {
  toSlashForm(path);
  if (path.empty()) return false;

  const std::string_view p = path.view();
  PathText mapped;
  for (const MountTable::Entry& entry : mountTable.entries()) {
    const std::string_view name = entry.name->view();
    if (name.size() < p.size() && p[name.size()] == '/' &&
        equalsIgnoringCase(p.substr(0, name.size()), name)) {
      // Taken as the directory is stored: this result is not put in slash form again.
      if (!mapped.assign(*entry.directory) || !mapped.append(p.substr(name.size()))) {
        path.clear();
        return false;
      }
      path = mapped;
      return true;
    }
  }
  if (!mapped.assign(rootPrefix) || !mapped.append(p)) {
    path.clear();
    return false;
  }
  toSlashForm(mapped);
  path = mapped;
  return true;
}

bool collapseDotDot(PathText& path) {
  const std::string_view p = path.view();
  const int found = findSubstring("..", p);
  // Only this first ".." is looked at: when it is part of a longer name the path stays as it is.
  if (found <= 0) return false;
  const auto i = static_cast<std::size_t>(found);
  if (p[i - 1] != '/') return false;
  const bool atEnd = i == p.size() - 2;
  if (!atEnd && p[i + 2] != '/') return false;

  const std::string_view rest = atEnd ? std::string_view() : p.substr(i + 3);
  std::size_t keep = 0;  // bytes kept in front: up to and including the '/' before the parent
  for (std::size_t k = i - 1; k > 0; --k) {
    if (p[k - 1] == '/') {
      keep = k;
      break;
    }
  }
  PathText result(p.substr(0, keep));
  result.append(rest);  // shorter than the path it comes from, so it always fits
  path = result;
  return true;
}

void toSlashForm(PathText& path) {
  char* p = path.data();
  const std::size_t before = path.size();
  for (std::size_t k = 0; k < before; ++k)
    if (p[k] == '\\') p[k] = '/';
  if (before > 1 && p[before - 1] == '/') path.truncate(before - 1);
  if (before >= 2 && startsWith(path.view(), "//")) path.assign(path.view().substr(1));
}

void toBackslashForm(PathText& path) {
  char* p = path.data();
  for (std::size_t k = 0; k < path.size(); ++k)
    if (p[k] == '/') p[k] = '\\';
  if (startsWith(path.view(), "\\\\")) path.assign(path.view().substr(1));
}

int findSubstring(std::string_view needle, std::string_view text) {
  if (needle.size() > text.size()) return -1;
  // Texts here are buffers of at most 2047 bytes; an index beyond int is never reached.
  for (std::size_t i = 0; i < text.size() && i <= static_cast<std::size_t>(INT_MAX); ++i)
    if (text.substr(i, needle.size()) == needle) return static_cast<int>(i);
  return -1;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

PathText rootPrefix(const PathText& rootDir) {
  PathText prefix(rootDir);
  // Only '/': a root written with a trailing '\' keeps it, and slash form deals with it later.
  if (!prefix.empty() && prefix[prefix.size() - 1] == '/') prefix.truncate(prefix.size() - 1);
  return prefix;
}

bool staysBeneathRoot(std::string_view localPath, std::string_view rootDir, bool utf8) {
  // In a code-page session a path must pass both splits: the byte-wise one the virtual rules
  // use, and the one the file layer will see after conversion.
  return walkStaysBeneath(localPath, rootDir, true) &&
         (utf8 || walkStaysBeneath(localPath, rootDir, false));
}

}  // namespace drovn::vfs
