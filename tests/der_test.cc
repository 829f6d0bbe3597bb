// Tests of the DER element tree and its octet encoding.
#include "tarnu/der.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_hook.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ChainDeleter {
  void operator()(DERIdentifier *di) const { der_identifier_chain_free(&di); }
};
using Chain = std::unique_ptr<DERIdentifier, ChainDeleter>;

DERIdentifier *Integer(int value) {
  DERIdentifier *di = nullptr;
  EXPECT_EQ(der_identifier_new_integer(&di, value), 0);
  return di;
}

DERIdentifier *String(const std::string &text) {
  DERIdentifier *di = nullptr;
  EXPECT_EQ(der_identifier_new_string(&di, const_cast<char *>(text.data()),
                                      static_cast<int>(text.size())),
            0);
  return di;
}

DERIdentifier *Null() {
  DERIdentifier *di = nullptr;
  EXPECT_EQ(der_identifier_new_null(&di), 0);
  return di;
}

DERIdentifier *Sequence(std::initializer_list<DERIdentifier *> members) {
  DERIdentifier *seq = nullptr;
  EXPECT_EQ(der_identifier_new_sequence(&seq), 0);
  for (DERIdentifier *m : members) EXPECT_EQ(der_identifier_child_append(seq, m), 0);
  return seq;
}

// Encodes the chain starting at `di`; expects success.
Bytes Encode(DERIdentifier *di) {
  char *data = nullptr;
  int size = -1;
  EXPECT_EQ(der_identifier_encode(di, &data, &size), 0);
  Bytes out(data, data + (data != nullptr ? size : 0));
  std::free(data);
  return out;
}

int EncodeResult(DERIdentifier *di) {
  char *data = reinterpret_cast<char *>(1);
  int size = -1;
  int rc = der_identifier_encode(di, &data, &size);
  if (rc != 0) {
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);
  }
  std::free(data);
  return rc;
}

int Decode(const Bytes &in, Chain *out) {
  DERIdentifier *di = reinterpret_cast<DERIdentifier *>(1);
  int rc = der_identifier_decode(&di, reinterpret_cast<char *>(const_cast<uint8_t *>(in.data())),
                                 static_cast<int>(in.size()));
  if (rc != 0) {
    EXPECT_EQ(di, nullptr);
  }
  out->reset(di);
  return rc;
}

// Structural equality of two chains: tags, lengths, values and members.
void ExpectSameChain(const DERIdentifier *a, const DERIdentifier *b) {
  for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
    ASSERT_EQ(a->identifier, b->identifier);
    ASSERT_EQ(a->length, b->length);
    if (a->identifier == 1 || a->identifier == 2) {
      ASSERT_EQ(a->l, b->l);
    }
    if (a->identifier == 4) {
      ASSERT_EQ(std::memcmp(a->s, b->s, a->length), 0);
    }
    ExpectSameChain(a->child, b->child);
  }
  ASSERT_EQ(a, b) << "chains differ in length";
}

TEST(DerConstruct, IntegerLengthFollowsTheValueBounds) {
  const std::pair<int, uint32_t> cases[] = {
      {0, 1},      {127, 1},    {128, 2},    {-126, 1},  {-127, 2},      {-128, 2},     {32767, 2},
      {-32766, 2}, {-32767, 4}, {-32768, 4}, {32768, 4}, {INT32_MIN, 4}, {INT32_MAX, 4}};
  for (auto [value, length] : cases) {
    Chain di(Integer(value));
    EXPECT_EQ(di->identifier, 2);
    EXPECT_EQ(di->length, length) << value;
    int got = 0;
    EXPECT_EQ(der_identifier_get_integer(di.get(), &got), 0);
    EXPECT_EQ(got, value);
  }
}

TEST(DerConstruct, BooleanStoresOneOrZero) {
  for (auto [value, stored] : {std::pair{5, 1}, {-1, 1}, {0, 0}}) {
    DERIdentifier *di = nullptr;
    ASSERT_EQ(der_identifier_new_boolean(&di, value), 0);
    Chain owner(di);
    EXPECT_EQ(di->length, 1u);
    int got = -7;
    EXPECT_EQ(der_identifier_get_boolean(di, &got), 0);
    EXPECT_EQ(got, stored);
  }
}

TEST(DerConstruct, StringIsAnOwnedCopyOfAnyOctets) {
  std::string text("a\0b", 3);
  Chain di(String(text));
  text[0] = 'z';
  char out[3];
  int size = 3;
  EXPECT_EQ(der_identifier_get_octetstring(di.get(), out, &size), 0);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(std::string(out, 3), std::string("a\0b", 3));
  size = 2;
  EXPECT_EQ(der_identifier_get_octetstring(di.get(), out, &size), ENOSPC);
  EXPECT_EQ(size, 2);
  size = -1;  // a negative size is no room, not a huge unsigned one
  EXPECT_EQ(der_identifier_get_octetstring(di.get(), out, &size), ENOSPC);
}

TEST(DerConstruct, BadArgumentsAndWrongTagsGive22) {
  DERIdentifier *di = reinterpret_cast<DERIdentifier *>(1);
  EXPECT_EQ(der_identifier_new_string(&di, nullptr, 4), EINVAL);
  EXPECT_EQ(di, nullptr);
  char text[] = "abc";
  EXPECT_EQ(der_identifier_new_string(&di, text, -1), EINVAL);
  EXPECT_EQ(der_identifier_new_integer(nullptr, 1), EINVAL);
  Chain flag;
  ASSERT_EQ(der_identifier_new_boolean(&di, 1), 0);
  flag.reset(di);
  int value = 42;
  EXPECT_EQ(der_identifier_get_integer(flag.get(), &value), EINVAL);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(der_identifier_get_boolean(flag.get(), nullptr), EINVAL);
  Chain member(Null());
  EXPECT_EQ(der_identifier_child_append(flag.get(), member.get()), EINVAL);
}

TEST(DerConstruct, ObjectIdentifierIsUnsupported) {
  char oid[] = "\x2a\x86\x48";
  DERIdentifier *untouched = reinterpret_cast<DERIdentifier *>(8);
  EXPECT_EQ(der_identifier_new_oid(&untouched, oid, 3), EINVAL);
  EXPECT_EQ(untouched, reinterpret_cast<DERIdentifier *>(8));
  EXPECT_EQ(der_identifier_new_oid(nullptr, nullptr, 0), EINVAL);
  DERIdentifier *di = nullptr;
  ASSERT_EQ(der_identifier_new(&di), 0);
  Chain owner(di);
  char out[8];
  int size = 8;
  EXPECT_EQ(der_identifier_get_oid(di, out, &size), EINVAL);
  di->identifier = 6;
  EXPECT_EQ(der_identifier_get_oid(di, out, &size), 0);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(EncodeResult(di), EINVAL);
  Chain decoded;
  EXPECT_EQ(Decode({0x06, 0x03, 0x2a, 0x86, 0x48}, &decoded), EINVAL);
}

TEST(DerChain, PrependLinksBothWays) {
  DERIdentifier *a = Null(), *b = Integer(1);
  ASSERT_EQ(der_identifier_chain_prepend(a, b), 0);
  Chain owner(b);
  EXPECT_EQ(b->next, a);
  EXPECT_EQ(a->previous, b);
  // Linking an element already in the chain would close a loop.
  EXPECT_EQ(der_identifier_chain_prepend(a, a), EINVAL);
  EXPECT_EQ(der_identifier_chain_prepend(b, a), EINVAL);
  EXPECT_EQ(der_identifier_chain_append(a, b), EINVAL);
  EXPECT_EQ(a->next, nullptr);
}

TEST(DerChain, ChainFreeOfPrependedSecondElementDetachesIt) {
  DERIdentifier *a = Null(), *b = Integer(1);
  ASSERT_EQ(der_identifier_chain_prepend(a, b), 0);
  Chain owner(b);
  ASSERT_EQ(der_identifier_chain_free(&a), 0);
  EXPECT_EQ(b->next, nullptr);
}

TEST(DerChain, ChainFreeOfAppendedTailDetachesIt) {
  DERIdentifier *a = Null(), *b = Integer(1), *c = String("x");
  ASSERT_EQ(der_identifier_chain_append(a, b), 0);
  ASSERT_EQ(der_identifier_chain_append(a, c), 0);
  Chain owner(a);
  EXPECT_EQ(b->previous, a);
  EXPECT_EQ(c->previous, b);
  EXPECT_EQ(der_identifier_chain_append(a, b), EINVAL);  // already linked: a loop
  ASSERT_EQ(der_identifier_chain_free(&b), 0);
  EXPECT_EQ(a->next, nullptr);
  EXPECT_EQ(Encode(a), (Bytes{0x05, 0x00}));
}

TEST(DerChild, AppendGrowsLengthByEncodedSize) {
  Chain seq(Sequence({String("abc")}));
  EXPECT_EQ(seq->length, 5u);
  ASSERT_EQ(der_identifier_child_append(seq.get(), String(std::string(200, 'x'))), 0);
  EXPECT_EQ(seq->length, 209u);
  ASSERT_EQ(der_identifier_child_append(seq.get(), String(std::string(70000, 'y'))), 0);
  EXPECT_EQ(seq->length, 209u + 70006u);
  EXPECT_EQ(seq->child->next->previous, seq->child);
  EXPECT_EQ(der_identifier_child_append(seq.get(), seq->child), EINVAL);
  EXPECT_EQ(der_identifier_child_append(seq.get(), seq.get()), EINVAL);
  EXPECT_EQ(seq->length, 209u + 70006u);
}

TEST(DerChild, PrependPutsTheMemberFirst) {
  DERIdentifier *first = Integer(7);
  Chain seq(Sequence({Null()}));
  ASSERT_EQ(der_identifier_child_prepend(seq.get(), first), 0);
  EXPECT_EQ(seq->child, first);
  EXPECT_EQ(first->next->previous, first);
  EXPECT_EQ(Encode(seq.get()), (Bytes{0x10, 0x05, 0x02, 0x01, 0x07, 0x05, 0x00}));
}

TEST(DerChild, LengthThatWouldPassFourOctetsIsRefused) {
  Chain seq(Sequence({}));
  seq->length = UINT32_MAX - 1;  // a NULL takes 2 octets more
  DERIdentifier *member = Null();
  EXPECT_EQ(der_identifier_child_append(seq.get(), member), EINVAL);
  EXPECT_EQ(der_identifier_child_prepend(seq.get(), member), EINVAL);
  EXPECT_EQ(seq->child, nullptr);
  der_identifier_free(&member);
}

TEST(DerEncode, ExamplesGiveTheirOctets) {
  const std::pair<int, Bytes> integers[] = {
      {5, {0x02, 0x01, 0x05}},          {300, {0x02, 0x02, 0x01, 0x2C}},
      {-1, {0x02, 0x01, 0xFF}},         {-200, {0x02, 0x02, 0xFF, 0x38}},
      {-127, {0x02, 0x02, 0xFF, 0x81}}, {70000, {0x02, 0x04, 0x00, 0x01, 0x11, 0x70}}};
  for (const auto &[value, octets] : integers) {
    Chain di(Integer(value));
    EXPECT_EQ(Encode(di.get()), octets) << value;
    Chain back;
    ASSERT_EQ(Decode(octets, &back), 0);
    int got = 0;
    EXPECT_EQ(der_identifier_get_integer(back.get(), &got), 0);
    EXPECT_EQ(got, value);
  }
  DERIdentifier *flag = nullptr;
  ASSERT_EQ(der_identifier_new_boolean(&flag, 1), 0);
  Chain flag_owner(flag);
  EXPECT_EQ(Encode(flag), (Bytes{0x01, 0x01, 0x01}));
  Chain null(Null());
  EXPECT_EQ(Encode(null.get()), (Bytes{0x05, 0x00}));
  Chain abc(String("abc"));
  EXPECT_EQ(Encode(abc.get()), (Bytes{0x04, 0x03, 0x61, 0x62, 0x63}));
  Chain seq(Sequence({Integer(5), Null()}));
  EXPECT_EQ(Encode(seq.get()), (Bytes{0x10, 0x05, 0x02, 0x01, 0x05, 0x05, 0x00}));
}

TEST(DerEncode, LongLengthsUseTwoAndFourOctetForms) {
  Chain s200(String(std::string(200, 'q')));
  Bytes out = Encode(s200.get());
  ASSERT_EQ(out.size(), 204u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x04, 0x82, 0x00, 0xC8}));
  EXPECT_EQ(out.back(), 'q');
  Chain big(String(std::string(70000, 'r')));
  out = Encode(big.get());
  ASSERT_EQ(out.size(), 70006u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0x04, 0x84, 0x00, 0x01, 0x11, 0x70}));
}

TEST(DerEncode, ChainIsWrittenBackToBack) {
  DERIdentifier *head = Integer(5);
  Chain owner(head);
  ASSERT_EQ(der_identifier_chain_append(head, Null()), 0);
  char *data = nullptr;
  int size = 0;
  ASSERT_EQ(der_identifier_encode(head, &data, &size), 0);
  EXPECT_EQ(Bytes(data, data + size), (Bytes{0x02, 0x01, 0x05, 0x05, 0x00}));
  std::free(data);
}

TEST(DerEncode, IntoCallerBufferNeedsRoomForTheWholeElement) {
  Chain seq(Sequence({Integer(5), Null()}));
  char buffer[8];
  std::memset(buffer, 0xAA, sizeof buffer);
  int size = 6;
  EXPECT_EQ(der_identifier_encode_r(seq.get(), buffer, &size), ENOSPC);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(static_cast<uint8_t>(buffer[0]), 0xAA);
  size = 8;
  ASSERT_EQ(der_identifier_encode_r(seq.get(), buffer, &size), 0);
  EXPECT_EQ(size, 7);
  EXPECT_EQ(static_cast<uint8_t>(buffer[7]), 0xAA);
}

TEST(DerEncode, BooleanOfOtherLengthIsRefused) {
  for (uint32_t length : {0u, 2u, 200u}) {
    DERIdentifier *flag = nullptr;
    ASSERT_EQ(der_identifier_new_boolean(&flag, 1), 0);
    Chain owner(flag);
    flag->length = length;
    EXPECT_EQ(EncodeResult(flag), EINVAL);
    std::vector<char> room(256);
    int size = 256;
    EXPECT_EQ(der_identifier_encode_r(flag, room.data(), &size), EINVAL);
  }
}

TEST(DerEncode, SequenceMemberOutgrowingLengthIsRefused) {
  // A member that grew after it was added.
  Chain grown(Sequence({Integer(5), Null()}));
  grown->child->l = 70000;
  grown->child->length = 4;
  EXPECT_EQ(EncodeResult(grown.get()), EINVAL);
  // A chain linked through next of a member is not counted in the length.
  DERIdentifier *extra = Null();
  Chain linked(Sequence({Integer(5)}));
  linked->child->next = extra;
  EXPECT_EQ(EncodeResult(linked.get()), EINVAL);
  char buffer[64];
  std::memset(buffer, 0xAA, sizeof buffer);
  int size = sizeof buffer;
  EXPECT_EQ(der_identifier_encode_r(linked.get(), buffer, &size), EINVAL);
  EXPECT_EQ(static_cast<uint8_t>(buffer[5]), 0xAA) << "wrote past the element";
}

TEST(DerEncode, ShortMembersAndNullContentLeaveZeros) {
  // Non-minimal lengths make a decoded SEQUENCE longer than its members.
  Chain seq;
  ASSERT_EQ(Decode({0x10, 0x07, 0x04, 0x82, 0x00, 0x01, 0x41, 0x05, 0x00}, &seq), 0);
  EXPECT_EQ(seq->length, 7u);
  EXPECT_EQ(Encode(seq.get()), (Bytes{0x10, 0x07, 0x04, 0x01, 0x41, 0x05, 0x00, 0x00, 0x00}));
  Chain null;
  ASSERT_EQ(Decode({0x05, 0x02, 0x61, 0x62}, &null), 0);
  char buffer[4];
  std::memset(buffer, 0xAA, sizeof buffer);
  int size = 4;
  ASSERT_EQ(der_identifier_encode_r(null.get(), buffer, &size), 0);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x05, 0x02, 0x00, 0x00}));
}

TEST(DerDecode, ExamplesGiveTheirElements) {
  Chain di;
  ASSERT_EQ(Decode({0x01, 0x01, 0xFF}, &di), 0);
  int value = 0;
  EXPECT_EQ(der_identifier_get_boolean(di.get(), &value), 0);
  EXPECT_EQ(value, -1);

  ASSERT_EQ(Decode({0x02, 0x03, 0x01, 0x02, 0x03}, &di), 0);
  EXPECT_EQ(di->length, 3u);
  EXPECT_EQ(der_identifier_get_integer(di.get(), &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(EncodeResult(di.get()), EINVAL);

  ASSERT_EQ(Decode({0x04, 0x82, 0x00, 0x05, 'a', 'b', 'c', 'd', 'e'}, &di), 0);
  EXPECT_EQ(di->length, 5u);
  EXPECT_STREQ(di->s, "abcde");  // the copy is terminated

  ASSERT_EQ(Decode({0x10, 0x02, 0x05, 0x00}, &di), 0);
  ASSERT_NE(di->child, nullptr);
  EXPECT_EQ(di->child->identifier, 5);
  EXPECT_EQ(di->child->next, nullptr);

  ASSERT_EQ(Decode({0x02, 0x01, 0x05, 0x05, 0x00}, &di), 0);
  ASSERT_NE(di->next, nullptr);
  EXPECT_EQ(di->next->previous, di.get());
}

TEST(DerDecode, DecodedStringContentIsReleasedWithItsElement) {
  Chain di;
  ASSERT_EQ(Decode({0x04, 0x02, 'h', 'i', 0x04, 0x01, 'x'}, &di), 0);
  // A decoded element's content is an ordinary malloc buffer: a caller may
  // release it and give the element another one, which the element then owns.
  std::free(di->s);
  auto *replacement = static_cast<char *>(std::malloc(3));
  std::memcpy(replacement, "new", 3);
  di->s = replacement;
  di->length = 3;
  EXPECT_EQ(Encode(di.get()), (Bytes{0x04, 0x03, 'n', 'e', 'w', 0x04, 0x01, 'x'}));
  DERIdentifier *second = di->next;
  di->next = nullptr;
  EXPECT_EQ(der_identifier_free(&second), 0);
}

TEST(DerDecode, MalformedFormsAreRejected) {
  const Bytes rejected[] = {
      {},
      {0x05},
      {0x30, 0x00},                                            // constructed bit
      {0x30, 0x02, 0x05, 0x00},                                // constructed SEQUENCE
      {0x22, 0x01, 0x05},                                      // constructed INTEGER
      {0x00, 0x00},                                            // tag 0
      {0x03, 0x01, 0x00},                                      // BIT STRING
      {0x1F, 0x01, 0x00},                                      // high tag form
      {0x05, 0x00, 0x05},                                      // lone trailing octet
      {0x04, 0x81, 0x05, 'a', 'b', 'c', 'd', 'e'},             // 0x81 form
      {0x04, 0x83, 0x00, 0x00, 0x01, 'a'},                     // 0x83 form
      {0x04, 0x80, 0x61, 0x00, 0x00},                          // indefinite form
      {0x04, 0xFF, 0x00},                                      // reserved form
      {0x04, 0x82, 0x00},                                      // truncated length
      {0x04, 0x84, 0x00, 0x00, 0x01},                          // truncated length
      {0x04, 0x05, 'a', 'b'},                                  // content past the end
      {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 'a'},               // huge length
      {0x01, 0x00},                                            // empty BOOLEAN
      {0x01, 0x02, 0x01, 0x01},                                // two-octet BOOLEAN
      {0x10, 0x00},                                            // empty SEQUENCE
      {0x10, 0x01, 0x05},                                      // one-octet SEQUENCE content
      {0x10, 0x03, 0x05, 0x00, 0x05},                          // trailing octet inside
      {0x10, 0x04, 0x10, 0x02, 0x05, 0x01},                    // inner content past its end
      {0x02, 0x01, 0x05, 0x10, 0x03, 0x01, 0x01, 0x01, 0x00},  // error after a good element
  };
  for (const Bytes &in : rejected) {
    Chain di;
    EXPECT_EQ(Decode(in, &di), EINVAL) << testing::PrintToString(in);
  }
  DERIdentifier *di = nullptr;
  char two[] = {0x05, 0x00};
  EXPECT_EQ(der_identifier_decode(&di, two, -5), EINVAL);
  EXPECT_EQ(der_identifier_decode(&di, nullptr, 2), EINVAL);
  EXPECT_EQ(der_identifier_decode(nullptr, two, 2), EINVAL);
}

// SEQUENCEs nested `levels` deep around one NULL, as octets (each header in
// the four-octet form, so the content of level k holds the levels below it).
Bytes NestedOctets(int levels) {
  Bytes out;
  for (int k = 0; k < levels; ++k) {
    auto length = static_cast<uint32_t>(2 + 6 * (levels - 1 - k));
    out.insert(out.end(),
               {0x10, 0x84, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  }
  out.insert(out.end(), {0x05, 0x00});
  return out;
}

DERIdentifier *NestedTree(int levels) {
  DERIdentifier *inner = Null();
  for (int i = 0; i < levels; ++i) inner = Sequence({inner});
  return inner;
}

TEST(DerDepth, NestingBeyondTheLimitIsRejected) {
  // DER_MAX_DEPTH - 1 SEQUENCEs put the NULL at the deepest level allowed.
  Chain deepest;
  EXPECT_EQ(Decode(NestedOctets(DER_MAX_DEPTH - 1), &deepest), 0);
  Chain too_deep;
  EXPECT_EQ(Decode(NestedOctets(DER_MAX_DEPTH), &too_deep), EINVAL);
  EXPECT_EQ(Decode(NestedOctets(100000), &too_deep), EINVAL);

  Chain allowed(NestedTree(DER_MAX_DEPTH - 1));
  EXPECT_EQ(EncodeResult(allowed.get()), 0);
  Chain refused(NestedTree(DER_MAX_DEPTH));
  EXPECT_EQ(EncodeResult(refused.get()), EINVAL);
  // Freeing a tree far deeper than the limit must not recurse per level.
  Chain huge(NestedTree(200000));
}

// Builds a random tree of at most `depth` levels; SEQUENCEs are never empty
// because the empty SEQUENCE does not decode.
DERIdentifier *RandomElement(std::mt19937 &rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 1 ? 5 : 3);  // 4, 5: SEQUENCE
  DERIdentifier *di = nullptr;
  switch (kind(rng)) {
    case 0:
      EXPECT_EQ(der_identifier_new_boolean(&di, static_cast<int>(rng() & 1)), 0);
      return di;
    case 1: {
      // Values near the length bounds as well as anywhere.
      static const int kEdges[] = {0, 127, 128, -126, -127, 32767, -32766, -32767, 32768};
      int value = (rng() & 1) ? static_cast<int>(rng()) : kEdges[rng() % std::size(kEdges)];
      return Integer(value);
    }
    case 2: {
      // Now and then one long enough for the two- and four-octet length forms.
      bool large = rng() % 16 == 0;
      std::string text(large ? rng() % 70000 : rng() % 40, static_cast<char>(rng()));
      if (!large)
        for (char &c : text) c = static_cast<char>(rng());
      return String(text);
    }
    case 3:
      return Null();
    default: {
      DERIdentifier *seq = Sequence({});
      int members = 1 + static_cast<int>(rng() % 5);
      for (int i = 0; i < members; ++i)
        EXPECT_EQ(der_identifier_child_append(seq, RandomElement(rng, depth - 1)), 0);
      return seq;
    }
  }
}

TEST(DerRoundTrip, RandomTreesSurviveEncodeAndDecode) {
  std::mt19937 rng(20261207);
  size_t total = 0;
  for (int round = 0; round < 200; ++round) {
    Chain tree(RandomElement(rng, 6));
    int siblings = static_cast<int>(rng() % 3);
    for (int i = 0; i < siblings; ++i)
      ASSERT_EQ(der_identifier_chain_append(tree.get(), RandomElement(rng, 6)), 0);
    Bytes first = Encode(tree.get());
    total += first.size();
    Chain decoded;
    ASSERT_EQ(Decode(first, &decoded), 0) << "round " << round;
    ExpectSameChain(tree.get(), decoded.get());
    EXPECT_EQ(Encode(decoded.get()), first) << "round " << round;
  }
  EXPECT_GT(total, 200u * 100u) << "the random trees are too small to test much";
}

// Runs `operation` with allocation n failing for n = 1, 2, ... until it
// succeeds; every failure must report 12 (LeakSanitizer checks the leaks).
template <typename Operation>
void ExpectEveryAllocationFailureReported(Operation operation) {
  for (long n = 1;; ++n) {
    tarnu_alloc_hook_fail_at(n);
    int rc = operation();
    tarnu_alloc_hook_reset();
    if (rc == 0) {
      EXPECT_GT(n, 1) << "the operation allocates nothing";
      return;
    }
    ASSERT_EQ(rc, ENOMEM) << "allocation " << n;
    ASSERT_LT(n, 1000);
  }
}

TEST(DerMemory, EveryAllocationFailureIsReportedWithoutLeak) {
  ExpectEveryAllocationFailureReported([] {
    DERIdentifier *di = reinterpret_cast<DERIdentifier *>(1);
    char text[] = "abc";
    int rc = der_identifier_new_string(&di, text, 3);
    if (rc != 0) {
      EXPECT_EQ(di, nullptr);
    }
    if (di != nullptr) der_identifier_free(&di);
    return rc;
  });
  ExpectEveryAllocationFailureReported([] {
    DERIdentifier *di = reinterpret_cast<DERIdentifier *>(1);
    int rc = der_identifier_new_sequence(&di);
    if (rc != 0) {
      EXPECT_EQ(di, nullptr);
    }
    if (di != nullptr) der_identifier_free(&di);
    return rc;
  });
  const Bytes document{0x02, 0x01, 0x05, 0x10, 0x0B, 0x04, 0x02, 'h',  'i', 0x10,
                       0x05, 0x01, 0x01, 0x01, 0x05, 0x00, 0x04, 0x01, 'x'};
  ExpectEveryAllocationFailureReported([&document] {
    Chain di;
    return Decode(document, &di);
  });
  Chain tree(Sequence({Integer(1), String("two")}));
  ExpectEveryAllocationFailureReported([&tree] {
    char *data = nullptr;
    int size = 0;
    int rc = der_identifier_encode(tree.get(), &data, &size);
    if (rc != 0) {
      EXPECT_EQ(data, nullptr);
    }
    std::free(data);
    return rc;
  });
}

}  // namespace
