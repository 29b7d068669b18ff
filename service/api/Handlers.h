// The API's handlers, grouped by concern; each takes the request and
// returns the response (or throws http::FieldError / http::HttpError).
#pragma once

#include "service/Api.h"
#include "service/http/Input.h"
#include "service/http/Message.h"

namespace ostrel::service::api {

using http::Request;
using http::Response;

// Controllers.cpp
Response listControllers(ApiContext& api, const Request& req);
Response getController(ApiContext& api, const Request& req);
Response openLock(ApiContext& api, const Request& req);
Response setLockDelay(ApiContext& api, const Request& req);
Response setClock(ApiContext& api, const Request& req);
Response collect(ApiContext& api, const Request& req);
Response controllerCards(ApiContext& api, const Request& req);
Response resyncCards(ApiContext& api, const Request& req);

// Swipes.cpp
Response listSwipes(ApiContext& api, const Request& req);

// service/audit/AuditApi.cpp
Response listAudit(ApiContext& api, const Request& req);

// CardHandlers.cpp
Response listCards(ApiContext& api, const Request& req);
Response putCard(ApiContext& api, const Request& req);
Response deleteCard(ApiContext& api, const Request& req);

// PeopleHandlers.cpp: people and the cards they hold.
Response listPeople(ApiContext& api, const Request& req);
Response getPerson(ApiContext& api, const Request& req);
Response createPerson(ApiContext& api, const Request& req);
Response updatePerson(ApiContext& api, const Request& req);
Response deactivatePerson(ApiContext& api, const Request& req);
Response holdCard(ApiContext& api, const Request& req);
Response returnCard(ApiContext& api, const Request& req);
Response cardHolders(ApiContext& api, const Request& req);

// CardFiles.cpp: cards in and out as CSV.
Response importCards(ApiContext& api, const Request& req);
Response exportCards(ApiContext& api, const Request& req);

// Reports.cpp
Response attendanceReport(ApiContext& api, const Request& req);

// Status.cpp: health, metrics, the API's description, the event stream.
Response health(ApiContext& api, const Request& req);
Response metrics(ApiContext& api, const Request& req);
Response openApi(ApiContext& api, const Request& req);
Response events(ApiContext& api, const Request& req);

// Session.cpp: signing in and out of the web page.
Response signIn(ApiContext& api, const Request& req);
Response whoAmI(ApiContext& api, const Request& req);
Response signOut(ApiContext& api, const Request& req);

// WebFiles.cpp: the web page's static files.
Response webFile(ApiContext& api, const Request& req);

}  // namespace ostrel::service::api
