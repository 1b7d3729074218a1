"""The headers of a driver image as the platform's linker writes them for a WDM driver.

- no DLL flag in the file header, and no export table: a driver is loaded, not linked against;
- the WDM driver flag (IMAGE_DLLCHARACTERISTICS_WDM_DRIVER) in the optional header;
- INIT discardable: the loader frees it once DriverEntry has returned;
- a valid checksum (the platform's: 16-bit sums with end-around carry, plus the file length);
- a version resource (VS_VERSIONINFO) of a system driver with the project's version.
"""

import struct

IMAGE_FILE_DLL = 0x2000
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7


class Image:
    def __init__(self, data):
        self.data = data
        pe, = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        count, = struct.unpack_from("<H", data, pe + 6)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        self.characteristics, = struct.unpack_from("<H", data, pe + 22)
        self.optional = pe + 24
        self.checksum_field = self.optional + 64
        self.checksum, = struct.unpack_from("<I", data, self.checksum_field)
        self.dll_characteristics, = struct.unpack_from("<H", data, self.optional + 70)
        self.directories = [struct.unpack_from("<II", data, self.optional + 96 + 8 * i)
                            for i in range(struct.unpack_from("<I", data, self.optional + 92)[0])]
        table = self.optional + optional_size
        self.sections = []  # (name, rva, virtual size, file offset, flags)
        for i in range(count):
            h = table + 40 * i
            name = data[h:h + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, _raw_size, raw = struct.unpack_from("<IIII", data, h + 8)
            flags, = struct.unpack_from("<I", data, h + 36)
            self.sections.append((name, rva, vsize, raw, flags))

    def offset_of(self, rva):
        for _name, start, size, raw, _flags in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} is in no section")

    def version_info(self):
        """(file version, product version, file type, subtype) of the RT_VERSION resource,
        or None when the image has none."""
        if len(self.directories) <= 2 or self.directories[2][0] == 0:
            return None
        root = self.offset_of(self.directories[2][0])

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, directory + 16 + 8 * i)

        def first_leaf(offset):
            while offset & 0x80000000:
                offset = next(entries(root + (offset & 0x7FFFFFFF)))[1]
            return offset

        for ident, offset in entries(root):
            if ident != RT_VERSION:
                continue
            leaf = root + first_leaf(offset)
            rva, size = struct.unpack_from("<II", self.data, leaf)
            blob = self.data[self.offset_of(rva):self.offset_of(rva) + size]
            at = blob.find(struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE))
            if at < 0:
                return None
            fields = struct.unpack_from("<13I", blob, at)
            file_version = (fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16, fields[3] & 0xFFFF)
            product_version = (fields[4] >> 16, fields[4] & 0xFFFF, fields[5] >> 16, fields[5] & 0xFFFF)
            return file_version, product_version, fields[9], fields[10]
        return None


def platform_checksum(data, field):
    """The sum of the file's 16-bit words (the checksum field as zero), folded to 16 bits,
    plus the file's length."""
    body = bytes(data[:field]) + bytes(4) + bytes(data[field + 4:])
    total = sum(struct.unpack(f"<{len(body) // 2}H", body[:len(body) // 2 * 2]))
    total += body[-1] if len(body) % 2 else 0
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def header_checks(path, version):
    """[(ok, what, reason)] for the image at `path`; `version` is "major.minor.patch"."""
    with open(path, "rb") as f:
        image = Image(f.read())
    checks = [
        (not image.characteristics & IMAGE_FILE_DLL, "no DLL flag in the file header",
         f"characteristics {image.characteristics:#06x} carry IMAGE_FILE_DLL"),
        (not image.directories or image.directories[0] == (0, 0), "no export table",
         f"export directory at {image.directories[0][0]:#x}" if image.directories else ""),
        (bool(image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER),
         "WDM driver flag in the optional header",
         f"DllCharacteristics {image.dll_characteristics:#06x} lack the WDM driver flag"),
    ]
    init = [flags for name, *_rest, flags in image.sections if name == "INIT"]
    checks.append((bool(init) and all(f & IMAGE_SCN_MEM_DISCARDABLE for f in init),
                   "INIT is discardable",
                   "no INIT section" if not init else f"INIT flags {init[0]:#010x}"))
    expected = platform_checksum(image.data, image.checksum_field)
    checks.append((image.checksum == expected, "image checksum is valid",
                   f"header says {image.checksum:#010x}, the file sums to {expected:#010x}"))
    info = image.version_info()
    want = tuple(int(part) for part in version.split(".")) + (0,)
    checks.append((info is not None and info[0] == want and info[1] == want
                   and info[2:] == (VFT_DRV, VFT2_DRV_SYSTEM),
                   f"version resource of a system driver, version {version}",
                   "no version resource" if info is None else
                   f"file {info[0]}, product {info[1]}, type {info[2]}/{info[3]}"))
    return checks
