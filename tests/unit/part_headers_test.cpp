// The boundary parameter and the names of a Content-Disposition line, as
// browsers, curl, .NET, akka-http and hand-written clients write them.
#include "decoder/part_headers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kavro::decoder {
namespace {

TEST(PartHeaders, BoundaryParameter) {
  struct Row {
    const char* contentType;
    const char* boundary;  // null: none
  };
  const Row rows[] = {
      {"multipart/form-data; boundary=AaB03x", "AaB03x"},
      {"multipart/form-data; boundary= \tAaB03x \r\n", "AaB03x"},
      {"multipart/form-data; boundary=\"1f0e-2d; c b\"; charset=UTF-8", "1f0e-2d; c b"},
      {"multipart/form-data; boundary=\"\"", ""},
      {"multipart/form-data; boundary=", ""},
      {"multipart/form-data; boundary=\"open", nullptr},
      {"multipart/form-data; Boundary=AaB03x", nullptr},
      {"multipart/form-data", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.contentType);
    TextSpan value;
    ASSERT_EQ(boundaryParameter(row.contentType, &value), row.boundary != nullptr);
    if (row.boundary != nullptr) {
      EXPECT_EQ(std::string(value.data, value.length), row.boundary);
    }
  }
}

TEST(PartHeaders, DispositionNames) {
  struct Row {
    const char* line;
    const char* name;
    const char* fileName;  // null: the line gives none
  };
  const Row rows[] = {
      // Browsers' shape, read at fixed places as it always was.
      {"Content-Disposition: form-data; name=\"title\"\r\n", "title", nullptr},
      {"content-disposition: FORM-DATA; NAME=\"a\"; filename=\"C:\\x.txt\"\r\n", "a", "C:\\x.txt"},
      {"Content-Disposition: form-data; name=\"open\r\n", "open\r\n", nullptr},
      {"Content-Disposition: form-data; name=\"f\"; FILENAME=\"b.txt\"\r\n", "f", nullptr},
      {"Content-Disposition: form-data; name=\"a\\\"b\"; filename=\"q\\\"x\"\r\n", "a\\", "q\\"},
      {"Content-Disposition: form-data; name=\"a; filename*=UTF-8''x\"\r\n", "a; filename*=UTF-8''x",
       nullptr},
      {"Content-Disposition: form-data; name=\"f\"; filename=\"r\xC3\xA9.bin\"; "
       "filename*=UTF-8''r%C3%A9sum%c3%a9.bin\r\n",
       "f", "r\xC3\xA9sum\xC3\xA9.bin"},
      {"Content-Disposition: form-data; name=\"f\"; filename*=iso-8859-1''%E9.bin; filename=\"e.bin\"\r\n",
       "f", "e.bin"},
      // Any other shape, read by parameter.
      {"Content-Disposition: form-data; name=file; filename=a.bin; filename*=utf-8''b.bin\r\n", "file",
       "b.bin"},
      {"Content-Disposition: form-data;  NAME = \"x\" ;FileName = y z.txt \r\n", "x", "y z.txt"},
      {"Content-Disposition: form-data; myname=a; filename=b; name=c; name=d\r\n", "c", "b"},
      {"Content-Disposition: form-data; filename=b\r\n", "", "b"},
      {"Content-Disposition: form-data;name=\"a\\\"b\\\\c\\d;e\"\r\n", "a\"b\\c\\d;e", nullptr},
      {"Content-Disposition: form-data; name=x; filename=\"open; y\r\n", "x", "open; y"},
      {"Content-Disposition: form-data; name=x; filename*=UTF-8'en'%E2%82%AC%20r.txt\r\n", "x",
       "\xE2\x82\xAC r.txt"},
      {"Content-Disposition: form-data; name=x; filename=f; filename*=UTF-8''a%2\r\n", "x", "f"},
      {"Content-Disposition: form-data; name=x; filename*=UTF-8''a%00b\r\n", "x", nullptr},
      {"Content-Disposition: form-data; name=x; filename*=UTF-8'a.txt\r\n", "x", nullptr},
      {"Content-Disposition: form-data; filename*; name\r\n", "", nullptr},
      {"Content-Disposition: form-data\r\n", "", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    char name[1024] = "earlier", fileName[1024] = "earlier";
    EXPECT_EQ(readDispositionNames(row.line, {name, sizeof name, fileName, sizeof fileName}),
              row.fileName != nullptr);
    EXPECT_STREQ(name, row.name);
    EXPECT_STREQ(fileName, row.fileName ? row.fileName : "earlier");
  }
  // Names longer than their buffers are cut to fit, on either shape.
  for (const char* line : {"Content-Disposition: form-data; name=\"abcdef\"; filename=\"uvwxyz\"\r\n",
                           "Content-Disposition: form-data; filename=uvwxyz; name=abcdef\r\n",
                           "Content-Disposition: form-data; name=abcdef; filename*=UTF-8''uvw%78yz\r\n"}) {
    char name[4], fileName[4];
    EXPECT_TRUE(readDispositionNames(line, {name, sizeof name, fileName, sizeof fileName})) << line;
    EXPECT_STREQ(name, "abc") << line;
    EXPECT_STREQ(fileName, "uvw") << line;
  }
}

}  // namespace
}  // namespace kavro::decoder
