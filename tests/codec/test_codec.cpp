#include "codec/test_codec.h"

bool TestCodec::ReceiveMainTable(int symbols) {
    BitPos = 0;
    if (BlockDecoder::RecvLens(&MainTable, symbols) != CodecResult::Success ||
        CodeBuilder::LenToVal(&MainTable, Report()) != CodecResult::Success)
        return false;
    DecodeInit(&MainTable);
    return true;
}

int TestCodec::NextSymbol(BitReader& in) {
    in.Refill();
    const int s = DecodeSymbol(&MainTable, static_cast<std::uint32_t>(in.Peek()));
    if (s >= 0)
        in.Skip(MainTable.length[s]);
    return s;
}

std::string TestCodec::PlainLzxUnpack(int nbits, int* m) {
    *m = 0;
    if (!ReceiveMainTable(LzSymbols))
        return Failure();
    const std::string more = "LzxUnpack: more than " + std::to_string(BlockSize) + " bytes decoded";
    BitReader in(BitBuf, BitPos);
    int out = 0;
    while (in.Position() < nbits) {
        const int s = NextSymbol(in);
        if (s < 0)
            return "DecodeLong: code not found";
        if (s < 256) {
            if (out >= BlockSize)
                return more;
            WorkBuf[out++] = static_cast<std::uint8_t>(s);
            *m = out;
            continue;
        }
        const int lc = (s - 256) / 16;
        const int dc = (s - 256) % 16;
        if (lc < 1 || lc > 8 || dc > 10)
            return "LzxUnpack: bad reference symbol " + std::to_string(s);
        const int length = (lc == 1 ? 1 : (1 << (lc - 1)) + static_cast<int>(in.Get(lc - 1))) + 3;
        const int distance = (dc <= 1 ? dc : (1 << (dc - 1)) + static_cast<int>(in.Get(dc - 1))) + 1;
        if (distance > out)
            return "LzxUnpack: reference before the start of the block";
        if (out + length > BlockSize)
            return more;
        for (int i = 0; i < length; ++i, ++out)
            WorkBuf[out] = WorkBuf[out - distance];
        *m = out;
    }
    return in.Position() == nbits ? "" : "LzxUnpack: too many bits read";
}

std::string TestCodec::PlainHufUnpack(int nbits, int* m) {
    *m = 0;
    if (!ReceiveMainTable(ByteSymbols))
        return Failure();
    BitReader in(BitBuf, BitPos);
    while (in.Position() < nbits) {
        const int s = NextSymbol(in);
        if (s < 0)
            return "DecodeLong: code not found";
        if (*m >= WorkBufSize)
            return "HufUnpack: more than " + std::to_string(WorkBufSize) + " bytes decoded";
        WorkBuf[(*m)++] = static_cast<std::uint8_t>(s);
    }
    return in.Position() == nbits ? "" : "HufUnpack: too many bits read";
}

std::string TestCodec::PlainRleUnpack(const std::uint8_t* stage, int m, std::uint8_t* destination) {
    if (m >= BlockSize) {
        if (m > BlockSize)
            return "RleUnpack: input > output";
        std::memcpy(destination, stage, BlockSize);
        return "";
    }
    int in = 0;
    for (int written = 0; written < BlockSize;) {
        if (in >= m)
            return "RleUnpack: too many bytes read";
        const std::uint8_t b = stage[in++];
        if (b < 0x80 || b > 0x8F) {
            destination[written++] = b;
            continue;
        }
        if (written + b - 127 > BlockSize)
            return "RleUnpack: too many bytes written";
        if (in >= m)
            return "RleUnpack: too many bytes read";
        for (int copies = b - 127; copies > 0; --copies)
            destination[written++] = stage[in];
        ++in;
    }
    return in == m ? "" : "RleUnpack: too many bytes read";
}

int TestCodec::LzxMatch(int pos, int left, int* distance) const {
    const int limit = left < LzMaxMatch ? left : LzMaxMatch;
    const int lowest = pos > LzWindow ? pos - LzWindow : 0;
    int best = 0;
    for (int c = pos - 1; c >= lowest; --c) {
        int n = 0;
        while (n < limit && WorkBuf[c + n] == WorkBuf[pos + n])
            ++n;
        if (n > best) {
            best = n;
            *distance = pos - c;
        }
    }
    return best;
}

int TestCodec::SorRowDist(int a, int b, int limit) const {
    int d = 0;
    for (int i = 0; i < SortRowBytes && d < limit; ++i)
        d += SortGrid[a * SortRowBytes + i] != SortGrid[b * SortRowBytes + i];
    return d;
}

int TestCodec::SorBestRow(int reference) const {
    int best = SortRowBytes + 1;
    int choice = -1;
    for (int r = 0; r < SortRows; ++r) {
        const int d = RowDone[r] ? best : SorRowDist(r, reference, best);
        if (d < best) {
            best = d;
            choice = r;
        }
    }
    return choice;
}
