// The PNG stream writer: the signature, IHDR, PLTE, IDAT and IEND chunks of
// one image whose rows are filtered as they come (the filter of least sum of
// absolute differences per row, filter None for palette and bilevel rows),
// then compressed at once with libdeflate. Interlaced images are kept whole
// and filtered pass by pass (Adam7) at the end.
#ifndef ZPNGENC_H
#define ZPNGENC_H

#include <cstddef>
#include <cstdint>
#include <memory>

class TqorStream;
struct libdeflate_compressor;

// What the IHDR chunk of a written file says.
struct TPngHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  int depth = 8;       // bits per sample: 1, 4 or 8
  int colourType = 0;  // 0 grey, 2 red-green-blue, 3 palette
  bool interlaced = false;
};

class TPngStreamWriter {
public:
  // Compression levels of libdeflate: 1 fastest, 12 smallest.
  static constexpr int minLevel = 1;
  static constexpr int maxLevel = 12;
  // Columns and rows at most, as PNG readers accept by default.
  static constexpr int64_t maxSide = 1000000;

  TPngStreamWriter(const TPngHeader& header, int level);
  ~TPngStreamWriter();
  TPngStreamWriter(const TPngStreamWriter&) = delete;
  TPngStreamWriter& operator=(const TPngStreamWriter&) = delete;

  // Bytes of one packed row, without its filter byte.
  size_t rowBytes() const { return rowBytes_; }
  // The largest buffer the writer takes: libdeflate's bound of the compressed image.
  int64_t largestBuffer() const;
  // Takes the buffers and the compressor; false when memory ran out.
  bool allocate();
  // The signature, IHDR and, for palette files, PLTE of entries red-green-blue
  // triples. False when the stream refused the bytes.
  bool writeHeader(TqorStream* s, const uint8_t* palette, int entries);
  // The next count rows of the image, rowBytes() bytes each, stride bytes apart.
  void addRows(const uint8_t* rows, int count, ptrdiff_t stride);
  // Compresses the rows and writes the IDAT chunks and IEND: false when the
  // stream refused them, or when rows are missing.
  bool finish(TqorStream* s);

private:
  // One row of bytes after its filter byte into out; spare: padding bits at its end.
  void filterRow(const uint8_t* row, const uint8_t* prior, size_t bytes, unsigned spare, uint8_t* out);
  void filterPasses();

  TPngHeader header;
  int level;
  int bitsPerPixel;
  size_t rowBytes_;
  size_t filteredBytes;  // the filtered image: a filter byte before every row (of every pass)
  size_t filled = 0;
  uint32_t rowsAdded = 0;
  bool chooseFilters;  // colour and grey rows of whole bytes; palette and bilevel rows go unfiltered
  std::unique_ptr<uint8_t[]> filtered;
  std::unique_ptr<uint8_t[]> packed;   // the compressed image
  std::unique_ptr<uint8_t[]> whole;    // interlaced: the rows as given
  std::unique_ptr<uint8_t[]> scratch;  // the candidate rows of four filters, and an empty prior row
  struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const;
  };
  std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor;
};

#endif
