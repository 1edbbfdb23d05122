// decodeStoredText() on arbitrary stored strings, and the round trip of
// arbitrary text through encodeStoredText().
//
// Checked for every input: decoding never fails hard and never asks for
// unbounded memory; whatever it decodes encodes back to a string that decodes
// to the same text; any text survives encoding and decoding unchanged.

#include "fuzzsupport.h"

#include "storedtext.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::ensureApplication();
    const QString input = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));

    // The bytes as a stored value, as the settings file gives it.
    const QString decoded = decodeStoredText(input);
    if (!decoded.isEmpty())
        FUZZ_CHECK(decodeStoredText(encodeStoredText(decoded)) == decoded);

    // The bytes as a password to be stored.
    const QString encoded = encodeStoredText(input);
    FUZZ_CHECK(encoded.isEmpty() == input.isEmpty());
    FUZZ_CHECK(decodeStoredText(encoded) == input);
    return 0;
}
