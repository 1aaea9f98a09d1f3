/// \file
/// Archive: a byte store with a size and a movable position, read and written like a stream;
/// ArchiveFactory: the process-wide registry that opens archives by location.
///
/// A location is [scheme "://"] rest; without a scheme (or with "://" at its very start) it is
/// a "file" path. The library serves two schemes:
/// \verbatim
///   file://<path>[?position=<n>]                  an operating-system file, read-only
///   memory://[<anything>][?position=<n>]<<<location>  an in-memory copy of another archive
///   memory://                                     an empty, writable in-memory file
/// \endverbatim
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Stream.h"

namespace vemo {

class MD5Checksum;

/// A byte store with a size and a movable position, read and written like a stream. Sizes,
/// positions and counts are signed 32-bit; -1 reports failure.
class VEMO_CORE_API Archive : public IO {
 public:
  /// The size in bytes, or -1.
  virtual int getArchiveSize() const = 0;
  /// The position of the next read or write, or -1.
  virtual int getPosition() const = 0;
  /// Moves the position; returns the new position, or -1.
  virtual int setPosition(int position) = 0;
};

/// Opens archives of one scheme. Factories are long-lived (usually statics) and must stay alive
/// while registered; the one registered last wins for its scheme.
class VEMO_CORE_API ArchiveFactory {
 public:
  /// A factory of the scheme `archiveType` (for example "file"), not registered yet.
  explicit ArchiveFactory(const String& archiveType) : _archiveType(archiveType) {}
  ///@{
  /// Copies the scheme; the copy is not registered.
  ArchiveFactory(const ArchiveFactory&) = default;
  ArchiveFactory& operator=(const ArchiveFactory&) = default;
  ///@}
  virtual ~ArchiveFactory() = default;

  /// The scheme.
  const String& getArchiveType() const { return _archiveType; }
  /// Opens what follows the scheme and "://"; null on failure.
  virtual Unknown::Handle_T<Archive> createArchive(const String& location) = 0;

  /// Registers a factory ahead of those registered before (one registered already moves to the
  /// head); false for null. Any thread.
  static bool setUpArchiveFactory(ArchiveFactory* factory);
  /// Withdraws a factory (one not registered changes nothing); always true. Any thread.
  static bool tearDownArchiveFactory(ArchiveFactory* factory);
  /// The factory registered last for the scheme, or null.
  static ArchiveFactory* getArchiveFactory(const String& archiveType);
  /// Opens a location (see Archive.h) with the factory of its scheme ("file" without one);
  /// null when no factory serves the scheme or the factory fails.
  static Unknown::Handle_T<Archive> openArchive(const String& location);
  /// Splits at the first '?' into path and options (options empty without one).
  static void parseUrl(const String& url, String& path, String& options);

 private:
  String _archiveType;
  ArchiveFactory* _next = nullptr;
};

/// The MD5 of a whole archive; its position is left where it was. False when the archive cannot
/// be positioned or read.
VEMO_CORE_API bool calcArchiveMd5(Archive* archive, MD5Checksum& md5);

}  // namespace vemo
