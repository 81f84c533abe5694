-- wrk script: every request is a SOAP call of DoKonferenzAction with the request document given
-- in the environment variable KONFERENZ_REQUEST (plain XML; escaped here for the SOAP body).
local request = os.getenv("KONFERENZ_REQUEST") or "<request><action>GetRaeume</action></request>"
local escaped = request:gsub("&", "&amp;"):gsub("<", "&lt;"):gsub(">", "&gt;")
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = '"urn:SOAPIntf-IZYNTConferenceService#DoKonferenzAction"'
wrk.body = '<?xml version="1.0" encoding="utf-8"?>' ..
  '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" ' ..
  'xmlns:xsd="http://www.w3.org/2001/XMLSchema" ' ..
  'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" ' ..
  'SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">' ..
  '<SOAP-ENV:Body><NS1:DoKonferenzAction xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService">' ..
  '<Request xsi:type="xsd:string">' .. escaped .. '</Request>' ..
  '</NS1:DoKonferenzAction></SOAP-ENV:Body></SOAP-ENV:Envelope>'

function done(summary, latency, requests)
  io.write(string.format("p50 %.2f ms, p99 %.2f ms, non-200 %d\n",
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, summary.errors.status))
end
