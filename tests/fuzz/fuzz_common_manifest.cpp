// The delta manifest parser: the bytes are a manifest as a server could send it (the device checks
// its digest first, but a publisher's fault or a leaked signing key must not become a write outside
// the application folder). Besides not crashing, whatever parses must hold only safe, distinct paths,
// and must write back to bytes that parse to the same manifest.
//
// No application object: none of this needs one.

#include "deltamanifest.h"

#include <QByteArray>
#include <QSet>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *why)
{
    std::fprintf(stderr, "fuzz: %s\n", why);
    std::abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    DeltaManifest manifest;
    QString error;
    if (!DeltaManifest::parse(bytes, &manifest, &error)) {
        if (error.isEmpty())
            fail("refused without a reason");
        return 0;
    }
    QSet<QString> paths;
    for (const DeltaManifest::Folder &folder : qAsConst(manifest.folders)) {
        if (!DeltaManifest::isSafePath(folder.path) || paths.contains(folder.path) || folder.mode > 07777)
            fail("unsafe or repeated folder accepted");
        paths.insert(folder.path);
    }
    for (const DeltaManifest::File &file : qAsConst(manifest.files)) {
        if (!DeltaManifest::isSafePath(file.path) || paths.contains(file.path) || file.mode > 07777
            || !DeltaManifest::isSha256(file.sha256) || file.size < 0 || file.objectSize <= 0)
            fail("unsafe or repeated file accepted");
        paths.insert(file.path);
    }
    const QByteArray written = manifest.toJson();
    DeltaManifest back;
    if (!DeltaManifest::parse(written, &back, &error))
        fail("a parsed manifest does not parse once written");
    if (back.toJson() != written)
        fail("a written manifest reads back otherwise");
    return 0;
}
