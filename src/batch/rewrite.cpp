#include "batch/batch_edit.h"
#include "batch/dos_text.h"
#include "platform/win32_api.h"

namespace {

// One rewrite runs at a time; their buffers are too big for the stack.
DosTextReader g_reader;
DosTextWriter g_writer;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenForWriting(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, kShareReadWrite, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenForReading(const char *path) {
    return CreateFileA(path, GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A target that does not exist is rewritten as an empty file; one that
// exists but cannot be opened (locked, a directory, unreadable) must not
// be replaced, or its lines would be lost.
bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool Keeps(TextList dropNeedles, std::string_view piece) {
    for (std::string_view needle : dropNeedles) {
        if (Contains(piece, needle))
            return false;
    }
    return true;
}

struct CopyResult {
    bool ok = true;
    bool anyPiece = false;
    char lastChar = '\0';
};

// Copies the rest of a line that did not fit in one piece. Every piece is
// tested by itself, but the line is kept or dropped whole: keeping only
// some pieces would leave a fragment that runs on into the next line.
bool CopyLongLine(TextList dropNeedles, std::uint64_t lineStart, bool keepLine) {
    std::size_t pieces = 1;
    for (;;) {
        ReadStatus status = ReadPiece(g_reader);
        if (status == ReadStatus::Error)
            return false;
        if (status == ReadStatus::End)
            break;
        ++pieces;
        keepLine = Keeps(dropNeedles, PieceText(g_reader)) && keepLine;
        if (PieceText(g_reader).back() == '\n')
            break;
    }
    if (!keepLine)
        return true;
    // Read the line a second time to copy it: memory stays bounded however
    // long the line is.
    if (!SeekText(g_reader, lineStart))
        return false;
    for (std::size_t i = 0; i < pieces; ++i) {
        if (ReadPiece(g_reader) != ReadStatus::Piece)
            return false;
        WriteText(g_writer, PieceText(g_reader));
    }
    return true;
}

CopyResult CopyKeptLines(TextList dropNeedles) {
    CopyResult result;
    for (;;) {
        std::uint64_t lineStart = TellText(g_reader);
        ReadStatus status = ReadPiece(g_reader);
        if (status == ReadStatus::Error) {
            result.ok = false;
            return result;
        }
        if (status == ReadStatus::End)
            break;
        result.anyPiece = true;
        std::string_view piece = PieceText(g_reader);
        bool keepPiece = Keeps(dropNeedles, piece);
        if (piece.back() == '\n' || piece.size() < kPieceCapacity) {
            if (keepPiece)
                WriteText(g_writer, piece);
        } else if (!CopyLongLine(dropNeedles, lineStart, keepPiece)) {
            result.ok = false;
            return result;
        }
        result.lastChar = PieceText(g_reader).back();
    }
    return result;
}

// Writes the new contents into the open temporary file; false if anything
// could not be read or written.
bool WriteNewContents(HANDLE tempFile, const char *target, TextList dropNeedles,
                      TextList linesToAppend) {
    StartWriting(g_writer, tempFile);
    CopyResult copied;
    HANDLE targetFile = OpenForReading(target);
    if (targetFile != INVALID_HANDLE_VALUE) {
        StartReading(g_reader, targetFile);
        copied = CopyKeptLines(dropNeedles);
        CloseHandle(targetFile);
        if (!copied.ok)
            return false;
    } else if (!IsMissing(GetLastError())) {
        return false;
    }
    // The appended lines must start on a line of their own. An empty or
    // missing file needs no separator.
    if (copied.anyPiece && copied.lastChar != '\n')
        WriteText(g_writer, "\n");
    for (std::string_view line : linesToAppend)
        WriteText(g_writer, line);
    return FlushText(g_writer);
}

} // namespace

bool Contains(std::string_view piece, std::string_view needle) {
    return piece.find(needle) != std::string_view::npos;
}

void RewriteBatchFile(const char *target, const char *temp, TextList dropNeedles,
                      TextList linesToAppend) {
    HANDLE tempFile = OpenForWriting(temp);
    if (tempFile == INVALID_HANDLE_VALUE)
        return;
    bool complete = WriteNewContents(tempFile, target, dropNeedles, linesToAppend);
    complete = CloseHandle(tempFile) && complete;
    // An incomplete copy (read error, full disk) must never replace the
    // target.
    if (complete)
        CopyFileA(temp, target, FALSE);
    DeleteFileA(temp);
}
