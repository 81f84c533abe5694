#include "conferences/recurrence_requests.h"

#include <gtest/gtest.h>

#include "webservice/base64.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

TConferenceRequest MonthlyRequest() {
  TConferenceRequest r;
  r.Name = "Jour fixe";
  r.Date = EncodeDate(2026, 3, 10);
  r.EndDate = EncodeDate(2026, 6, 30);
  r.StartTime = r.Date + EncodeTime(10, 0, 0, 0);
  r.EndTime = r.Date + EncodeTime(11, 0, 0, 0);
  r.Room = "100";
  r.PinHost = "1234";
  r.PinMember = "2345";
  r.PinListenOnly = "3456";
  r.RecurrenceId = 12;
  return r;
}

TEST(ConferenceRequestText, LineByLine) {
  EXPECT_EQ(ConferenceRequestText(MonthlyRequest(), 60),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><request>\r\n"
            "<Name>" +
                Base64Encode("Jour fixe") +
                "</Name>\r\n"
                "<Datum>2026-03-10T00:00:00.000+01:00</Datum>\r\n"
                "<EndDatum>2026-06-30T00:00:00.000+01:00</EndDatum>\r\n"
                "<Startzeit>2026-03-10T10:00:00.000+01:00</Startzeit>\r\n"
                "<Endzeit>2026-03-10T11:00:00.000+01:00</Endzeit>\r\n"
                "<Durchwahl>100</Durchwahl>\r\n"
                "<PinHost>1234</PinHost>\r\n"
                "<PinMember>2345</PinMember>\r\n"
                "<PinListenOnly>3456</PinListenOnly>\r\n"
                "<RecurrenceId>12</RecurrenceId>\r\n"
                "</request>");
}

TEST(ConferenceRequestText, FieldsAreFoundAfterTagLowering) {
  TConferenceRequest r = MonthlyRequest();
  r.EndDate.reset();
  r.RecurrenceId.reset();
  r.Room = "1<2&3";
  pugi::xml_document doc;
  LoadRequestDocument(doc, ConferenceRequestText(r, 0));
  const pugi::xml_node root = doc.document_element();
  EXPECT_EQ(Base64Decode(NodeText(FindXMLNode(root, "Name", true))), "Jour fixe");
  EXPECT_EQ(NodeText(FindXMLNode(root, "Datum", true)), "2026-03-10T00:00:00.000Z");
  EXPECT_EQ(NodeText(FindXMLNode(root, "Durchwahl", true)), "1<2&3");
  EXPECT_EQ(NodeText(FindXMLNode(root, "PinListenOnly", true)), "3456");
  // The one-off and the daily/weekly requests carry neither.
  EXPECT_FALSE(root.child("enddatum"));
  EXPECT_FALSE(root.child("recurrenceid"));
}

TEST(InviteRequestText, OneSourceLinePerTakeOverItem) {
  const TDateTime start = EncodeDate(2026, 3, 7) + EncodeTime(10, 0, 0, 0);
  const std::string text =
      InviteRequestText("31", "100", start, start + EncodeTime(1, 0, 0, 0), {"12", "15"});
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><request><action>InviteKonfTeilnehmer"
            "</action>\r\n"
            "<KonferenzID>31</KonferenzID>\r\n"
            "<durchwahl>100</durchwahl>\r\n"
            "<minzeit>2026-03-07 10:00:00</minzeit>\r\n"
            "<maxzeit>2026-03-07 11:00:00</maxzeit>\r\n"
            "<KonferenzIDVon>12</KonferenzIDVon>\r\n"
            "<KonferenzIDVon>15</KonferenzIDVon>\r\n"
            "</request>");
  // A take-over item cannot smuggle in elements of its own.
  pugi::xml_document doc;
  LoadRequestDocument(
      doc, InviteRequestText("31", "100", start, start, {"1</KonferenzIDVon><KonferenzID>9"}));
  EXPECT_EQ(NodeText(doc.document_element().child("konferenzid")), "31");
  EXPECT_EQ(NodeText(doc.document_element().child("konferenzidvon")),
            "1</KonferenzIDVon><KonferenzID>9");
}

TEST(DeleteConferenceRequestText, OneLine) {
  EXPECT_EQ(DeleteConferenceRequestText("44"),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><request><action>deleteKonferenz</action>"
            "<konferenzid>44</konferenzid></request>");
}

}  // namespace
}  // namespace parlevo
