#!/usr/bin/python3
"""The sign-in endpoints of Facebook, Google and VKontakte as their documentation describes them.

Facebook: POST /oauth/access_token with the form client_id=fb-id, client_secret=fb-secret,
code, redirect_uri: code "fb-code" answers JSON as today's Graph API does, "fb-code-form" the
form-encoded text of older versions; any other code 400 with an OAuthException.
GET /me?access_token=fb-token&fields=... gives the fields asked for (id and name without
fields), else 400.
Google: POST /o/oauth2/token (form code=g-code, client_id=g-id, client_secret=g-secret,
redirect_uri, grant_type=authorization_code) gives {"access_token": "g-token"}, else 400
invalid_grant; GET /oauth2/v1/userinfo?access_token=g-token, else 401.
VKontakte: POST /access_token (form code=vk-code, client_id=vk-id, client_secret=vk-secret,
redirect_uri) gives the token, user id 12345 and e-mail, else 401 invalid_grant; GET
/method/users.get needs access_token=vk-token and v, and answers 200 with an "error" object
otherwise, as the API does.
Every token request must carry redirect_uri=https://panel.example/oauth?net=1.
Usage: SCRIPT ADDRESS PORT DIR"""
import urllib.parse

import standin

REDIRECT = "https://panel.example/oauth?net=1"


def form(req):
    return dict(urllib.parse.parse_qsl(req.body.decode("utf-8"), keep_blank_values=True))


class Networks(standin.Service):
    def handle(self, req):
        route = {
            ("POST", "/oauth/access_token"): self.fb_token,
            ("GET", "/me"): self.fb_me,
            ("POST", "/o/oauth2/token"): self.g_token,
            ("GET", "/oauth2/v1/userinfo"): self.g_info,
            ("POST", "/access_token"): self.vk_token,
            ("GET", "/method/users.get"): self.vk_users,
        }.get((req.method, req.path))
        return route(req) if route else (404, {}, b"no such call")

    def fb_token(self, req):
        f = form(req)
        if (f.get("client_id"), f.get("client_secret"), f.get("redirect_uri")) != ("fb-id", "fb-secret", REDIRECT) \
                or f.get("code") not in ("fb-code", "fb-code-form"):
            return standin.json_answer(400, {"error": {"message": "Invalid verification code format.",
                                                       "type": "OAuthException", "code": 100}})
        if f["code"] == "fb-code-form":
            return 200, {"Content-Type": "text/plain"}, b"access_token=fb-token&expires=5183944"
        return standin.json_answer(200, {"access_token": "fb-token", "token_type": "bearer", "expires_in": 5183944})

    def fb_me(self, req):
        if req.params.get("access_token") != "fb-token":
            return standin.json_answer(400, {"error": {"message": "Invalid OAuth access token.",
                                                       "type": "OAuthException", "code": 190}})
        user = {"id": "10150000000000001", "name": "Mark Zuckerberg", "email": "mark@example.com"}
        fields = req.params.get("fields", "id,name").split(",")
        return standin.json_answer(200, {k: v for k, v in user.items() if k in fields})

    def g_token(self, req):
        f = form(req)
        if (f.get("code"), f.get("client_id"), f.get("client_secret"), f.get("redirect_uri"),
                f.get("grant_type")) != ("g-code", "g-id", "g-secret", REDIRECT, "authorization_code"):
            return standin.json_answer(400, {"error": "invalid_grant", "error_description": "Malformed auth code."})
        return standin.json_answer(200, {"access_token": "g-token", "expires_in": 3599, "token_type": "Bearer"})

    def g_info(self, req):
        if req.params.get("access_token") != "g-token":
            return standin.json_answer(401, {"error": {"code": 401, "message": "Invalid Credentials"}})
        return standin.json_answer(200, {"id": "108000000000000000001", "email": "larry@example.com",
                                         "verified_email": True, "name": "Larry Page"})

    def vk_token(self, req):
        f = form(req)
        if (f.get("code"), f.get("client_id"), f.get("client_secret"), f.get("redirect_uri")) \
                != ("vk-code", "vk-id", "vk-secret", REDIRECT):
            return standin.json_answer(401, {"error": "invalid_grant",
                                             "error_description": "Code is invalid or expired."})
        return standin.json_answer(200, {"access_token": "vk-token", "expires_in": 86400, "user_id": 12345,
                                         "email": "pavel@example.com"})

    def vk_users(self, req):
        p = req.params
        if p.get("access_token") != "vk-token":
            return standin.json_answer(200, {"error": {"error_code": 5,
                                                       "error_msg": "User authorization failed: no access_token passed."}})
        if not p.get("v"):
            return standin.json_answer(200, {"error": {"error_code": 8, "error_msg": "Invalid request: v is required"}})
        return standin.json_answer(200, {"response": [{"id": int(p.get("user_id", "0")), "first_name": "Pavel",
                                                       "last_name": "Durov", "can_access_closed": True}]})


if __name__ == "__main__":
    standin.serve(Networks())
