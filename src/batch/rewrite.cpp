#include "batch/batch_edit.h"
#include "batch/dos_text.h"
#include "platform/win32_api.h"

#include <memory>

namespace {

// Closes a handle when it goes out of scope; Close() reports the result.
class FileHandle {
  public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle() { Close(); }

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    bool Close() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle == INVALID_HANDLE_VALUE || CloseHandle(handle);
    }

  private:
    HANDLE handle_;
};

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenForWriting(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, kShareReadWrite, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenForReading(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A target that does not exist is rewritten as an empty file; one that
// exists but cannot be opened (locked, a directory, unreadable) must not
// be replaced, or its lines would be lost.
bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

struct CopyResult {
    bool ok = true;
    bool anyPiece = false;
    char lastChar = '\0';
};

// Copies the rest of a line that did not fit in one piece. Every piece is
// tested by itself, but the line is kept or dropped whole: keeping only
// some pieces would leave a fragment that runs on into the next line.
bool CopyLongLine(DosTextReader &reader, DosTextWriter &writer, const KeepTest &keep,
                  std::uint64_t lineStart, bool keepLine) {
    std::size_t pieces = 1;
    for (;;) {
        ReadStatus status = reader.ReadPiece();
        if (status == ReadStatus::Error)
            return false;
        if (status == ReadStatus::End)
            break;
        ++pieces;
        keepLine = keep(reader.Piece()) && keepLine;
        if (reader.Piece().back() == '\n')
            break;
    }
    if (!keepLine)
        return true;
    // Read the line a second time to copy it: memory stays bounded however
    // long the line is.
    if (!reader.Seek(lineStart))
        return false;
    for (std::size_t i = 0; i < pieces; ++i) {
        if (reader.ReadPiece() != ReadStatus::Piece)
            return false;
        writer.Write(reader.Piece());
    }
    return true;
}

CopyResult CopyKeptLines(DosTextReader &reader, DosTextWriter &writer, const KeepTest &keep) {
    CopyResult result;
    for (;;) {
        std::uint64_t lineStart = reader.Tell();
        ReadStatus status = reader.ReadPiece();
        if (status == ReadStatus::Error) {
            result.ok = false;
            return result;
        }
        if (status == ReadStatus::End)
            break;
        result.anyPiece = true;
        std::string_view piece = reader.Piece();
        bool keepPiece = keep(piece);
        if (piece.back() == '\n' || piece.size() < kPieceCapacity) {
            if (keepPiece)
                writer.Write(piece);
        } else if (!CopyLongLine(reader, writer, keep, lineStart, keepPiece)) {
            result.ok = false;
            return result;
        }
        result.lastChar = reader.Piece().back();
    }
    return result;
}

// Writes the new contents into the open temporary file; false if anything
// could not be read or written.
bool WriteNewContents(HANDLE tempFile, const std::string &target, const KeepTest &keep,
                      std::initializer_list<std::string_view> linesToAppend) {
    auto writer = std::make_unique<DosTextWriter>(tempFile);
    FileHandle targetFile(OpenForReading(target));
    CopyResult copied;
    if (targetFile.IsOpen()) {
        auto reader = std::make_unique<DosTextReader>(targetFile.Get());
        copied = CopyKeptLines(*reader, *writer, keep);
        if (!copied.ok)
            return false;
    } else if (!IsMissing(GetLastError())) {
        return false;
    }
    // The appended lines must start on a line of their own. An empty or
    // missing file needs no separator.
    if (copied.anyPiece && copied.lastChar != '\n')
        writer->Write("\n");
    for (std::string_view line : linesToAppend)
        writer->Write(line);
    return writer->Flush();
}

} // namespace

bool Contains(std::string_view piece, std::string_view needle) {
    return piece.find(needle) != std::string_view::npos;
}

void RewriteBatchFile(const std::string &target, const std::string &temp, const KeepTest &keep,
                      std::initializer_list<std::string_view> linesToAppend) {
    FileHandle tempFile(OpenForWriting(temp));
    if (!tempFile.IsOpen())
        return;
    bool complete = false;
    try {
        complete = WriteNewContents(tempFile.Get(), target, keep, linesToAppend);
    } catch (...) {
        complete = false;
    }
    complete = tempFile.Close() && complete;
    // An incomplete copy (read error, full disk) must never replace the
    // target.
    if (complete)
        CopyFileA(temp.c_str(), target.c_str(), FALSE);
    DeleteFileA(temp.c_str());
}
