// The simulated NTFS volumes: the internal model shared by the file and
// directory calls (sim/filesystem.cpp) and the link calls (sim/fs_links.cpp).
// Only sim/*.cpp include this header; tests use the control API in sim/sim.h.
//
// Every function here expects the caller to hold sim::WorldLock() (a
// sim::CallScope holds it), and none of them logs a call or sets the last
// error: they return a Win32 error code (0 for success) and the simulated
// API function decides what to do with it.
//
// What the link calls can use:
//   - Resolve(path, followLast, &lookup): turn a Win32 path into the parent
//     directory, the last name and the node it names (or none), following
//     junctions, symbolic links and mount points on the way.
//   - NewDirectory / NewFile: a fresh node of the volume, not yet named.
//   - AddName / RemoveName: give a node a name in a directory or take one
//     away; the file's link count follows (hard links are extra names).
//   - Node::reparseTag / Node::reparseData: set both together (tag 0 and no
//     data for an ordinary entry); ReportedAttributes adds
//     FILE_ATTRIBUTE_REPARSE_POINT on its own.
//   - DecodeReparse: where a reparse point leads (used by Resolve; also what
//     a volume-name query needs to tell a mount point from a junction).
//   - FileHandle: the object behind every handle CreateFileW returns.
//   - CheckSharing: the share-mode rule, for any call that opens a file.
//   - VolumeByLetter / VolumeByGuidName / State().volumes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim.h"

namespace sim {
namespace fs {

struct Node;
struct Volume;
using NodePtr = std::shared_ptr<Node>;
using VolumePtr = std::shared_ptr<Volume>;

// One open of a node with the access and share mode it was granted. The
// owner (a FileHandle, or the process's current directory) registers it in
// Node::opens and takes it out again when it goes away.
struct OpenRecord {
  DWORD access = 0;  // specific rights, generic ones already mapped
  DWORD share = 0;   // FILE_SHARE_* bits
};

// A name in a directory. The key of Node::children is Upcase(name), so the
// map iterates in NTFS index order and looks names up case-insensitively,
// while `name` keeps the spelling the entry was created with.
struct Entry {
  std::u16string name;
  NodePtr node;
};

// Orders the upcased keys of Node::children; a lookup may pass a name in any
// case as a string view, which is upcased unit by unit as it is compared.
struct NameOrder {
  using is_transparent = void;
  bool operator()(const std::u16string& a, const std::u16string& b) const { return a < b; }
  bool operator()(const std::u16string& key, std::u16string_view name) const;
  bool operator()(std::u16string_view name, const std::u16string& key) const;
};

// A file or directory: the identity that hard links share.
struct Node {
  bool isDirectory = false;
  // Stored attributes: FILE_ATTRIBUTE_DIRECTORY for a directory,
  // FILE_ATTRIBUTE_ARCHIVE for a new file, READONLY/HIDDEN/SYSTEM as set.
  // FILE_ATTRIBUTE_REPARSE_POINT is not stored; it follows reparseTag.
  DWORD attributes = 0;
  DWORD reparseTag = 0;              // 0: not a reparse point
  std::vector<uint8_t> reparseData;  // the whole REPARSE_DATA_BUFFER as set
  std::vector<uint8_t> content;      // a file's data
  uint32_t linkCount = 0;            // names this node has
  uint64_t fileId = 0;               // unique per volume set, never reused
  std::weak_ptr<Volume> volume;
  std::map<std::u16string, Entry, NameOrder> children;  // directories only
  std::vector<OpenRecord*> opens;            // every open of this node
  // A delete requested while handles were open (FILE_SHARE_DELETE let it
  // through): the name goes away when the last open goes away.
  bool deletePending = false;
  std::weak_ptr<Node> pendingParent;
  std::u16string pendingName;
};

// One NTFS volume. A volume always has a drive letter in this model; a mount
// point on a directory reaches it through its volume GUID name as well.
struct Volume {
  char16_t letter = 0;          // upper case
  std::u16string guidName;      // "Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
  DWORD serial = 0;             // the volume serial number, distinct per volume
  NodePtr root;
  // "\\?\Volume{...}\", the form GetVolumeNameForVolumeMountPointW returns.
  std::u16string GuidPath() const { return u"\\\\?\\" + guidName + u"\\"; }
};

// A server share the simulated machine reaches: "\\server\share" names a
// directory on one of its volumes, as "\\localhost\C$\x" names "C:\x".
struct Share {
  std::u16string server;                // compared without case
  std::u16string name;                  // compared without case
  VolumePtr volume;
  std::vector<std::u16string> base;     // the shared directory's components
};

// The whole file-system state of the simulated machine.
struct World {
  std::vector<Share> shares;
  std::vector<VolumePtr> volumes;
  uint64_t nextFileId = 0x10000;
  // The process's current directory as GetCurrentDirectoryW reports it
  // ("C:\", "C:\work"), and the node it names: Windows keeps a handle open
  // on it (FILE_TRAVERSE | SYNCHRONIZE, shared for read and write), which is
  // why the current directory cannot be removed.
  std::u16string cwd;
  NodePtr cwdNode;
  OpenRecord cwdOpen;
};
World& State();

// ------------------------------------------------------------ names
// NTFS compares names by upcasing each UTF-16 unit with the volume's upcase
// table and then comparing ordinally.
char16_t UpcaseUnit(char16_t c);
std::u16string Upcase(const std::u16string& s);
// 0, or ERROR_INVALID_NAME for a name NTFS refuses: empty, longer than 255
// units, or holding a control character or one of " * / : < > ? \ |.
DWORD CheckName(const std::u16string& name);

// ------------------------------------------------------------ volumes
VolumePtr VolumeByLetter(char16_t letter);
// guidName: "Volume{...}" without the "\\?\" or "\??\" prefix, any case.
VolumePtr VolumeByGuidName(const std::u16string& guidName);

// ------------------------------------------------------------ nodes
NodePtr NewDirectory(const VolumePtr& volume);
NodePtr NewFile(const VolumePtr& volume);
// The entry named `name` in dir (case-insensitive), or nullptr.
const Entry* FindChild(const Node& dir, std::u16string_view name);
// Adds the name; the node's link count goes up. The caller has checked that
// the name is free and valid.
void AddName(const NodePtr& dir, const std::u16string& name, const NodePtr& node);
// Removes the name (any case); the node's link count goes down.
void RemoveName(const NodePtr& dir, const std::u16string& name);
// What GetFileAttributesW and FindFirstFileW report for the node.
DWORD ReportedAttributes(const Node& node);
bool IsVolumeRoot(const Node& node);

// ------------------------------------------------------------ sharing
// Maps GENERIC_* bits to the specific file rights (FILE_GENERIC_READ etc.).
DWORD MapGenericAccess(DWORD access);
// 0, or ERROR_SHARING_VIOLATION when an open with this access and share mode
// conflicts with one already open on the node.
DWORD CheckSharing(const Node& node, DWORD access, DWORD share);
// The same against the opens of a file that lives elsewhere (a host file).
DWORD CheckSharing(const std::vector<OpenRecord*>& opens, DWORD access, DWORD share);
void AddOpen(Node& node, OpenRecord* record);
// Takes the record out; when it was the last one and a delete is pending,
// the pending name is removed now.
void RemoveOpen(const NodePtr& node, OpenRecord* record);

// ------------------------------------------------------------ resolution
struct Lookup {
  VolumePtr volume;     // the volume the last component lives on
  NodePtr parent;       // the directory holding it; null for a volume root
  std::u16string name;  // the last component (stored spelling when found)
  NodePtr node;         // the entry it names; null when there is none
  // The path ended with a backslash ("C:\dir\"); a volume root always does.
  bool trailingSlash = false;
  // The link followed last to reach `node` (null when the last component was
  // not a followed reparse point). Windows checks its kind against the
  // target's: a junction to a file or a file link to a directory fails.
  NodePtr viaLink;
};

// Resolves a path as the Win32 file calls do: a "\\?\" path is taken as it
// is after the prefix; any other path is made absolute with the full-path
// rules first (relative against the current directory). Reparse points on
// intermediate components are always followed; the last one only when
// followLast is set (it is not, under FILE_FLAG_OPEN_REPARSE_POINT).
// Returns 0 when the last component's directory was reached (lookup->node
// may still be null), or the error the calls give: 3 for a missing or
// non-directory intermediate component, 123 for a bad name, 53 for a network
// path, 1921 past 63 reparse points, 1920 for a reparse tag no filter
// handles, 4392 for reparse data that cannot be read, and what DecodeReparse
// says about the link's target text.
DWORD Resolve(const WCHAR* path, bool followLast, Lookup* lookup);
// The same for a path that is already absolute: a drive path "C:\x", or a
// "\\?\" / "\\.\" path taken literally after the prefix.
DWORD ResolveFull(const std::u16string& full, bool followLast, Lookup* lookup);
// The absolute form of a path under the full-path rules, the current
// directory and the per-drive current directories (what GetFullPathNameW
// returns); false for an empty path.
bool NormalisedFullPath(const std::u16string& path, std::u16string* full);
// The path the file calls work on: a "\\?\" path as it is, any other path
// normalised; false for an empty path.
bool FullPath(const std::u16string& path, std::u16string* full);

// Walks components from the root of volume; the building block of Resolve.
DWORD Walk(VolumePtr volume, std::vector<std::u16string> components, bool trailingSlash,
           bool followLast, Lookup* lookup);

// Where a reparse point leads.
struct Target {
  VolumePtr volume;
  std::vector<std::u16string> components;  // from that volume's root
  bool trailingSlash = false;
};
// linkVolume/linkDir: the volume and the components of the directory that
// holds the link (a relative symbolic link resolves against them).
DWORD DecodeReparse(const Node& link, const VolumePtr& linkVolume,
                    const std::vector<std::u16string>& linkDir, Target* target);
// The substitute name stored in mount-point or symbolic-link reparse data,
// with the symbolic link's flags; false when the data is malformed.
bool ReadSubstituteName(const std::vector<uint8_t>& data, std::u16string* name, uint32_t* flags);

// ------------------------------------------------------------ handles
// The object behind a CreateFileW handle (Kind() "file"). It holds the node
// open: its OpenRecord is registered while it lives, and its destructor
// takes it out again (which may complete a pending delete).
struct FileHandle : HandleObject {
  FileHandle(NodePtr node, VolumePtr volume, DWORD access, DWORD share, DWORD flags);
  ~FileHandle() override;
  const char* Kind() const override { return "file"; }
  NodePtr node;
  VolumePtr volume;
  DWORD flags;  // the FILE_FLAG_* bits given to CreateFileW
  OpenRecord open;
  uint64_t position = 0;  // the file pointer: where the next write goes
};

}  // namespace fs
}  // namespace sim
