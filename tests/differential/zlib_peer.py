# Peer zlib for the deflate tests.
#   compress DIR: for every NAME.raw writes NAME.<level>.<strategy>.<wbits>[.flush].z
#   check DIR:    decompresses every NAME.*.ours and compares it with NAME.raw;
#                 prints "BAD file reason" lines and "checked N"
import os
import sys
import zlib

STRATEGIES = [zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED]


def compress(d):
    for f in sorted(os.listdir(d)):
        if not f.endswith(".raw"):
            continue
        data = open(os.path.join(d, f), "rb").read()
        name = f[:-4]
        for level in range(10):
            for si, strategy in enumerate(STRATEGIES):
                for wbits in (9, 15):
                    for flush in ("", "sync", "full"):
                        if flush and (wbits != 15 or si != 0):
                            continue
                        c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
                        if flush:
                            half = len(data) // 2
                            mode = zlib.Z_SYNC_FLUSH if flush == "sync" else zlib.Z_FULL_FLUSH
                            out = c.compress(data[:half]) + c.flush(mode) + c.compress(data[half:])
                        else:
                            out = c.compress(data)
                        out += c.flush()
                        suffix = "." + flush if flush else ""
                        with open(os.path.join(d, "%s.%d.%d.%d%s.z" % (name, level, si, wbits, suffix)), "wb") as o:
                            o.write(out)


def check(d):
    n = 0
    for f in sorted(os.listdir(d)):
        if not f.endswith(".ours"):
            continue
        n += 1
        raw = open(os.path.join(d, f.split(".")[0] + ".raw"), "rb").read()
        try:
            if zlib.decompress(open(os.path.join(d, f), "rb").read()) != raw:
                print("BAD %s differs" % f)
        except zlib.error as e:
            print("BAD %s %s" % (f, e))
    print("checked %d" % n)


if __name__ == "__main__":
    {"compress": compress, "check": check}[sys.argv[1]](sys.argv[2])
