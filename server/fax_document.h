// fax_document.h -- fax documents as TIFF files (through libtiff).
//
// A fax document is a TIFF file of one or more pages, each a bilevel
// image (1 bit per sample, 1 sample per pixel) of a fax width (1728, 2048
// or 2432 pixels) compressed with CCITT Group 3 or Group 4 (Class F). The
// check decodes every strip of every page, so a file that names the right
// tags over broken data is refused too.
//
// Thread-safety: the functions may run on many threads at once (each
// works on its own TIFF handle); libtiff's global message handlers are
// silenced once, on first use.
#ifndef QZ_SERVER_FAX_DOCUMENT_H_
#define QZ_SERVER_FAX_DOCUMENT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qz::faxd {

// Most pages a document may have.
inline constexpr uint32_t kMaxFaxPages = 1000;

// Number of pages of the fax document at `path` (a file of the server's
// own); 0 when it is not a valid fax document, with the reason in *why.
uint32_t CheckFaxDocument(const std::string& path, std::string* why);

// Writes a fax document of `pages` pages (Group 4 when `g4`, else Group 3)
// to `path`, created with mode 0600. Page p (0-based) shows the rows of
// `lines` that fall on it, rendered with a small built-in font (at most
// kRowsPerPage rows of kColumns characters per page); `pages` is raised to
// what the rows need. False on failure.
inline constexpr uint32_t kRowsPerPage = 40;
inline constexpr uint32_t kColumns = 80;
bool WriteFaxDocument(const std::string& path, uint32_t pages, bool g4,
                      const std::vector<std::string>& lines = {});

}  // namespace qz::faxd

#endif  // QZ_SERVER_FAX_DOCUMENT_H_
