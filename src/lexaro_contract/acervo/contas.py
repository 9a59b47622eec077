"""As contas do acervo: usuários com papel e senha (Argon2), tokens da API
e sessões do painel (guardados só como hash)."""

from __future__ import annotations

import datetime as dt
import hashlib
import secrets
from typing import Any, Dict, List, Optional

import sqlalchemy as sa

from .base import Base, agora
from .esquema import sessoes, tokens, usuarios

PAPEIS = ("administrador", "analista", "leitor")
DURACAO_SESSAO = dt.timedelta(hours=12)


def _hash_do_segredo(segredo: str) -> str:
    return hashlib.sha256(segredo.encode("utf-8")).hexdigest()


def _hasher() -> Any:
    from argon2 import PasswordHasher

    return PasswordHasher()


class ContaInvalida(ValueError):
    pass


class Contas(Base):
    def criar_usuario(self, nome: str, papel: str, senha: str) -> int:
        nome = nome.strip()
        if not nome:
            raise ContaInvalida("o nome do usuário está vazio")
        if papel not in PAPEIS:
            raise ContaInvalida(f"papel inválido: {papel} (use {', '.join(PAPEIS)})")
        if len(senha) < 8:
            raise ContaInvalida("a senha deve ter pelo menos 8 caracteres")
        try:
            with self.motor.begin() as con:
                novo = con.execute(usuarios.insert().values(nome=nome, papel=papel, criado_em=agora(),
                                                            senha_hash=_hasher().hash(senha))).inserted_primary_key
        except sa.exc.IntegrityError:
            raise ContaInvalida(f"o usuário {nome} já existe") from None
        assert novo is not None
        return int(novo[0])

    def usuario(self, usuario_id: int) -> Optional[Dict[str, Any]]:
        with self.motor.connect() as con:
            m = con.execute(sa.select(usuarios.c.id, usuarios.c.nome, usuarios.c.papel)
                            .where(usuarios.c.id == usuario_id)).mappings().first()
        return dict(m) if m is not None else None

    def usuarios(self) -> List[Dict[str, Any]]:
        with self.motor.connect() as con:
            return [dict(m) for m in con.execute(sa.select(usuarios.c.id, usuarios.c.nome, usuarios.c.papel)
                                                 .order_by(usuarios.c.nome)).mappings()]

    def autenticar(self, nome: str, senha: str) -> Optional[Dict[str, Any]]:
        """O usuário, se a senha confere (o tempo é o mesmo para um nome que não existe)."""
        with self.motor.connect() as con:
            m = con.execute(sa.select(usuarios).where(usuarios.c.nome == nome.strip())).mappings().first()
        guardado = m["senha_hash"] if m is not None else _hasher().hash("sem-usuario")
        try:
            _hasher().verify(guardado, senha)
        except Exception:  # noqa: BLE001 - senha errada ou hash inválido
            return None
        return {"id": m["id"], "nome": m["nome"], "papel": m["papel"]} if m is not None else None

    def mudar_papel(self, usuario_id: int, papel: str) -> None:
        """Troca o papel de um usuário (vale já na próxima requisição: a sessão
        lê o papel a cada uma). O último administrador não deixa de sê-lo: o
        acervo ficaria sem quem gerencia as contas."""
        if papel not in PAPEIS:
            raise ContaInvalida(f"papel inválido: {papel} (use {', '.join(PAPEIS)})")
        with self.motor.begin() as con:
            atual = con.execute(sa.select(usuarios.c.papel).where(usuarios.c.id == usuario_id)).scalar()
            if atual is None:
                raise ContaInvalida(f"usuário {usuario_id} não existe")
            if atual == "administrador" and papel != "administrador":
                outros = con.execute(sa.select(sa.func.count()).select_from(usuarios).where(
                    usuarios.c.papel == "administrador", usuarios.c.id != usuario_id)).scalar()
                if not outros:
                    raise ContaInvalida("o acervo precisa de pelo menos um administrador")
            con.execute(usuarios.update().where(usuarios.c.id == usuario_id).values(papel=papel))

    def trocar_senha(self, usuario_id: int, senha: str) -> None:
        if len(senha) < 8:
            raise ContaInvalida("a senha deve ter pelo menos 8 caracteres")
        with self.motor.begin() as con:
            con.execute(usuarios.update().where(usuarios.c.id == usuario_id)
                        .values(senha_hash=_hasher().hash(senha)))

    # ------------------------------------------------------------ tokens da API

    def criar_token(self, usuario_id: int) -> str:
        token = "lxr_" + secrets.token_urlsafe(32)
        with self.motor.begin() as con:
            con.execute(tokens.insert().values(usuario_id=usuario_id, hash=_hash_do_segredo(token),
                                               criado_em=agora()))
        return token

    def tokens(self, usuario_id: Optional[int] = None) -> List[Dict[str, Any]]:
        consulta = sa.select(tokens.c.id, tokens.c.usuario_id, tokens.c.criado_em, tokens.c.revogado_em)
        if usuario_id is not None:
            consulta = consulta.where(tokens.c.usuario_id == usuario_id)
        with self.motor.connect() as con:
            return [dict(m) for m in con.execute(consulta.order_by(tokens.c.id)).mappings()]

    def revogar_token(self, token_id: int, usuario_id: Optional[int] = None) -> bool:
        """Revoga um token (de `usuario_id`, se dado; um administrador passa None)."""
        condicoes = [tokens.c.id == token_id, tokens.c.revogado_em.is_(None)]
        if usuario_id is not None:
            condicoes.append(tokens.c.usuario_id == usuario_id)
        with self.motor.begin() as con:
            return con.execute(tokens.update().where(*condicoes).values(revogado_em=agora())).rowcount == 1

    def usuario_do_token(self, token: str) -> Optional[Dict[str, Any]]:
        with self.motor.connect() as con:
            m = con.execute(sa.select(usuarios.c.id, usuarios.c.nome, usuarios.c.papel)
                            .join(tokens, tokens.c.usuario_id == usuarios.c.id)
                            .where(tokens.c.hash == _hash_do_segredo(token), tokens.c.revogado_em.is_(None))
                            ).mappings().first()
        return dict(m) if m is not None else None

    # ------------------------------------------------------------ sessões

    def abrir_sessao(self, usuario_id: int) -> Dict[str, str]:
        """Uma sessão nova: o segredo do cookie e o token CSRF."""
        segredo, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(24)
        expira = agora(DURACAO_SESSAO)
        with self.motor.begin() as con:
            con.execute(sessoes.insert().values(hash=_hash_do_segredo(segredo), usuario_id=usuario_id, csrf=csrf,
                                                expira_em=expira))
        return {"segredo": segredo, "csrf": csrf}

    def sessao(self, segredo: str) -> Optional[Dict[str, Any]]:
        with self.motor.connect() as con:
            m = con.execute(sa.select(usuarios.c.id, usuarios.c.nome, usuarios.c.papel, sessoes.c.csrf)
                            .join(sessoes, sessoes.c.usuario_id == usuarios.c.id)
                            .where(sessoes.c.hash == _hash_do_segredo(segredo), sessoes.c.expira_em > agora())
                            ).mappings().first()
        return dict(m) if m is not None else None

    def fechar_sessao(self, segredo: str) -> None:
        with self.motor.begin() as con:
            con.execute(sessoes.delete().where(sessoes.c.hash == _hash_do_segredo(segredo)))
