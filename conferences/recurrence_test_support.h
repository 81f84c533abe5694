// Test support for the series engine: a fresh install folder with its database (the conference
// test fixture), series rows written directly, and reads of the conferences of a series.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "conferences/conference_test_support.h"

namespace parlevo::testing_support {

class SeriesTest : public InstallFolderTest {
 protected:
  // The columns of a series row as text; an empty text stores NULL. Defaults: a series in room
  // 100 on 7 March 2026, 10:00 to 11:00, without end and without a kind.
  static std::map<std::string, std::string> SeriesColumns() {
    return {{"room", "100"},
            {"name", "Jour fixe"},
            {"startdate", "2026-03-07"},
            {"enddate", "2026-03-07"},
            {"starttime", "2026-03-07 10:00:00"},
            {"endtime", "2026-03-07 11:00:00"},
            {"IsRecurrenceElement", "1"},
            {"Daily", "0"},
            {"DailyInterval", ""},
            {"DailyEveryWorkDay", "0"},
            {"Weekly", "0"},
            {"WeeklyInterval", ""},
            {"WeeklyMonday", "0"},
            {"WeeklyTuesday", "0"},
            {"WeeklyWednesday", "0"},
            {"WeeklyThursday", "0"},
            {"WeeklyFriday", "0"},
            {"WeeklySaturday", "0"},
            {"WeeklySunday", "0"},
            {"Monthly", "0"},
            {"MonthlyInterval", ""},
            {"MonthlyEveryX", ""},
            {"MonthlyWeekDay", ""},
            {"PinHost", "1234"},
            {"PinMember", "2345"},
            {"PinListenOnly", "3456"}};
  }

  // Writes the row and answers its RecurrenceId.
  std::string AddSeriesRow(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> columns = SeriesColumns();
    for (const auto& [name, value] : changes) columns[name] = value;
    std::string names;
    std::string values;
    for (const auto& [name, value] : columns) {
      if (!names.empty()) {
        names += ", ";
        values += ", ";
      }
      names += name;
      // An empty column stores nothing, as the series actions write it.
      values += value.empty() ? std::string("NULL") : "\"" + value + "\"";
    }
    Exec("INSERT INTO conferenceRecurrences (" + names + ") VALUES (" + values + ")");
    return Scalar("SELECT MAX(RecurrenceId) FROM conferenceRecurrences");
  }

  // The days ("dd.mm.yyyy") of the conferences of a series, in date order.
  std::vector<std::string> SeriesDays(const std::string& recurrence_id) {
    std::vector<std::string> days;
    for (const auto& row : Rows("SELECT [date] FROM conferences WHERE RecurrenceId = " +
                                recurrence_id + " ORDER BY [date], ID")) {
      days.push_back(row[0]);
    }
    return days;
  }

  int SeriesCount() { return std::stoi(Scalar("SELECT COUNT(*) FROM conferenceRecurrences")); }
  int ConferenceCount() { return std::stoi(Scalar("SELECT COUNT(*) FROM conferences")); }

  // A member with a membership in the conference; answers the member's ID.
  std::string AddMembership(const std::string& conference_id, const std::string& surname,
                            const std::string& language, bool listen_only) {
    Exec(
        "INSERT INTO members (sex, title, name, firstname, email, sms, company, project, "
        "[language]) VALUES (\"Herr\", \"\", \"" +
        surname + "\", \"Max\", \"" + surname + "@example.org\", \"\", \"\", \"\", \"" + language +
        "\")");
    const std::string member = Scalar("SELECT MAX(ID) FROM members");
    Exec("INSERT INTO conferenceMembers VALUES (" + member + ", " + conference_id +
         ", true, false, \"" + language + "\", \"12345\", \"100\", \"2026-03-01 10:00:00\", " +
         "\"2026-03-01 11:00:00\", false, false, " + (listen_only ? "true" : "false") +
         ", false, true)");
    return member;
  }

  // A conference outside any series; answers its ID.
  std::string AddPlainConference(const std::string& date) {
    Exec(
        "INSERT INTO [conferences] (room, name, [date], starttime, endtime, RecurrenceId) "
        "VALUES (\"100\", \"Quelle\", \"" +
        date + "\", \"" + date + " 10:00:00\", \"" + date + " 11:00:00\", -1)");
    return Scalar("SELECT MAX(ID) FROM [conferences]");
  }
};

}  // namespace parlevo::testing_support
