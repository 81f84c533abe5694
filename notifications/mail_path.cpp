#include "notifications/mail_path.h"

namespace parlevo {

TStatementValue<std::string> LoadHost(TActionStatement& statement, std::string_view conference) {
  const TStatementStatus status = statement.Run(
      "SELECT name, firstname from [members], [conferenceMembers] where host=true AND "
      "memberID=ID AND conferenceID=" +
          std::string(conference),
      true);
  if (!status) return status;
  TADOQuery& rows = statement.Rows();
  std::string host;
  if (!rows.Eof()) {
    host = rows.FieldByName("firstname").AsString() + " " + rows.FieldByName("name").AsString();
  }
  // Released before the send: the message may take long, the connection must not wait for it.
  statement.Release();
  return host;
}

bool Deliver(const TMailSend& send, const TSendMail& mail) {
  return send ? send(mail) : SendMail(mail);
}

TStatementStatus MarkMembership(TActionStatement& statement, std::string_view column,
                                std::string_view member, std::string_view conference) {
  return statement.Run("UPDATE [conferenceMembers] SET " + std::string(column) +
                           "=true WHERE memberID=" + std::string(member) +
                           " AND conferenceID=" + std::string(conference),
                       false);
}

}  // namespace parlevo
